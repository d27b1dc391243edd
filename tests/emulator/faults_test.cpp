#include <atomic>

#include "emulator_test.hpp"

namespace {

using Faults = emu::testing::EmulatorTest;

TEST_F(Faults, TheKthCallFailsOnceAndHasNoEffect) {
  emu::failCall("cudaMalloc", 3, cudaErrorMemoryAllocation);
  std::vector<void*> memory(5, nullptr);
  std::vector<cudaError_t> results;
  for (void*& p : memory) results.push_back(cudaMalloc(&p, 64));
  EXPECT_EQ(results, (std::vector<cudaError_t>{cudaSuccess, cudaSuccess, cudaErrorMemoryAllocation,
                                               cudaSuccess, cudaSuccess}));
  EXPECT_EQ(memory[2], nullptr);
  EXPECT_EQ(emu::liveAllocations(), 4u);
  EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
  for (void* p : memory) EXPECT_EQ(cudaFree(p), cudaSuccess);
}

TEST_F(Faults, ArmedFaultsCountTheirOwnFunctionIndependently) {
  emu::failCall("cudaStreamCreate", 1, cudaErrorUnknown);
  emu::failCall("cudaStreamCreate", 3, cudaErrorInvalidValue);
  emu::failCall("cudaEventCreate", 2, cudaErrorMemoryAllocation);
  cudaStream_t streams[4] = {};
  cudaEvent_t events[3] = {};
  std::vector<cudaError_t> streamResults, eventResults;
  for (cudaStream_t& s : streams) streamResults.push_back(cudaStreamCreate(&s));
  for (cudaEvent_t& e : events) eventResults.push_back(cudaEventCreate(&e));
  EXPECT_EQ(streamResults, (std::vector<cudaError_t>{cudaErrorUnknown, cudaSuccess,
                                                     cudaErrorInvalidValue, cudaSuccess}));
  EXPECT_EQ(eventResults, (std::vector<cudaError_t>{cudaSuccess, cudaErrorMemoryAllocation, cudaSuccess}));
  EXPECT_EQ(streams[0], nullptr);
  EXPECT_EQ(cudaStreamDestroy(streams[1]), cudaSuccess);
  EXPECT_EQ(cudaStreamDestroy(streams[3]), cudaSuccess);
  EXPECT_EQ(cudaEventDestroy(events[0]), cudaSuccess);
  EXPECT_EQ(cudaEventDestroy(events[2]), cudaSuccess);
}

TEST_F(Faults, ANullFunctionCountsTheCallsOfEveryFunction) {
  EXPECT_EQ(emu::lastFailedCall(), nullptr);
  const unsigned long long before = emu::callCount();
  emu::failCall(nullptr, 3, cudaErrorIllegalAddress);
  void* memory = nullptr;
  cudaStream_t stream = nullptr;
  int runs = 0;
  EXPECT_EQ(cudaMalloc(&memory, 64), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "the last-error query is not a counted call";
  EXPECT_EQ(cudaStreamCreate(&stream), cudaSuccess);
  emu::launch(1, 1, stream, [&] { ++runs; });
  EXPECT_EQ(runs, 0);
  EXPECT_STREQ(emu::lastFailedCall(), "cudaLaunchKernel");
  EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalAddress);
  emu::launch(1, 1, stream, [&] { ++runs; });
  EXPECT_EQ(runs, 1) << "the fault fires once";
  EXPECT_EQ(cudaStreamDestroy(stream), cudaSuccess);
  EXPECT_EQ(cudaFree(memory), cudaSuccess);
  EXPECT_EQ(emu::callCount() - before, 6u);
  emu::reset();
  EXPECT_EQ(emu::lastFailedCall(), nullptr);
  EXPECT_EQ(emu::callCount() - before, 6u) << "reset keeps the count";
}

TEST_F(Faults, StreamWorkCountsUnderItsName) {
  emu::failCall(nullptr, 1, cudaErrorLaunchFailure);
  bool ran = false;
  emu::runOnStream(nullptr, "forward FFT", {}, [&] { ran = true; });
  EXPECT_FALSE(ran);
  EXPECT_STREQ(emu::lastFailedCall(), "forward FFT");
  EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
}

TEST_F(Faults, AFailedFreeLeavesTheAllocationLive) {
  void* memory = nullptr;
  ASSERT_EQ(cudaMalloc(&memory, 32), cudaSuccess);
  emu::failCall("cudaFree", 1, cudaErrorIllegalAddress);
  EXPECT_EQ(cudaFree(memory), cudaErrorIllegalAddress);
  EXPECT_EQ(emu::liveAllocations(), 1u);
  EXPECT_EQ(cudaFree(memory), cudaSuccess);
}

TEST_F(Faults, LaunchFaultsFailAtLaunchTime) {
  emu::failCall("cudaLaunchKernel", 2, cudaErrorLaunchOutOfResources);
  int runs = 0;
  for (int i = 0; i < 3; ++i) emu::launch(1, 1, nullptr, [&] { ++runs; });
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchOutOfResources);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}

TEST_F(Faults, FailedLaunchesReportAtTheNextSynchronisation) {
  struct Case {
    const char* name;
    cudaError_t (*synchronise)();
  };
  const Case cases[] = {
      {"cudaStreamSynchronize", [] { return cudaStreamSynchronize(nullptr); }},
      {"cudaDeviceSynchronize", [] { return cudaDeviceSynchronize(); }},
      {"cudaMemcpy", [] {
         int a = 0, b = 1;
         return cudaMemcpy(&a, &b, sizeof a, cudaMemcpyHostToHost);
       }},
  };
  for (const Case& c : cases) {
    emu::failLaunches(2);
    std::atomic<int> runs{0};
    for (int i = 0; i < 3; ++i) emu::launch(4, 32, nullptr, [&] { ++runs; });
    EXPECT_EQ(runs, 4 * 32) << c.name;
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure) << c.name;
    EXPECT_EQ(c.synchronise(), cudaErrorLaunchFailure) << c.name;
    EXPECT_EQ(c.synchronise(), cudaSuccess) << c.name;
  }
}

TEST_F(Faults, ResetDisarmsEverything) {
  emu::failCall("cudaMalloc", 1, cudaErrorMemoryAllocation);
  emu::failLaunches(1);
  emu::reset();
  void* memory = nullptr;
  EXPECT_EQ(cudaMalloc(&memory, 8), cudaSuccess);
  bool ran = false;
  emu::launch(1, 1, nullptr, [&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(cudaFree(memory), cudaSuccess);
}

}  // namespace
