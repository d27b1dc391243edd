// A launch observer sees each launch that runs, around all of its threads, with the allocations
// that its pointer arguments lead into.

#include <atomic>
#include <tuple>
#include <vector>

#include "emulator_test.hpp"

namespace {

using emu::testing::DeviceBuffer;

constexpr unsigned kThreads = 64;
std::atomic<unsigned> threadsRun{0};

__global__ void copyInto(const int* in, int* out, int* outTail, int count) {
  const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
  if (static_cast<int>(i) < count) out[i] = in[i];
  if (i == 0) outTail[0] = 0;
  threadsRun.fetch_add(1);
}

struct Seen {
  std::vector<emu::DeviceRange> allocations;
  unsigned threadsAtBegin;
  unsigned threadsAtEnd;
};

class Recorder final : public emu::LaunchObserver {
 public:
  void begin(const emu::DeviceRange* allocations, std::size_t count) override {
    launches.push_back({{allocations, allocations + count}, threadsRun.load(), 0});
  }
  void end() override { launches.back().threadsAtEnd = threadsRun.load(); }

  std::vector<Seen> launches;
};

class LaunchObservers : public emu::testing::EmulatorTest {
 protected:
  void SetUp() override {
    EmulatorTest::SetUp();
    threadsRun = 0;
    emu::observeLaunches(&recorder);
  }
  void TearDown() override {
    emu::observeLaunches(nullptr);
    EmulatorTest::TearDown();
  }

  void launch() {
    emu::launch(copyInto, dim3(2), dim3(kThreads / 2), nullptr,
                std::tuple<const int*, int*, int*, int>(in.get(), out.get(), out.get() + 8, 8));
  }

  Recorder recorder;
  DeviceBuffer<int> in{std::vector<int>(8, 7)};
  DeviceBuffer<int> out{16};
};

TEST_F(LaunchObservers, SeesTheLaunchAroundItsThreadsWithEachAllocationOnce) {
  launch();
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  ASSERT_EQ(recorder.launches.size(), 1u);
  const Seen& seen = recorder.launches[0];
  EXPECT_EQ(seen.threadsAtBegin, 0u);
  EXPECT_EQ(seen.threadsAtEnd, kThreads);
  ASSERT_EQ(seen.allocations.size(), 2u);
  EXPECT_EQ(seen.allocations[0].base, in.get());
  EXPECT_EQ(seen.allocations[0].size, in.bytes());
  EXPECT_EQ(seen.allocations[1].base, out.get());
  EXPECT_EQ(seen.allocations[1].size, out.bytes());
}

TEST_F(LaunchObservers, DoesNotSeeLaunchesThatRunNothingNorAnyOnceRemoved) {
  emu::failLaunches(1);
  launch();
  EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
  emu::observeLaunches(nullptr);
  launch();
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_TRUE(recorder.launches.empty());
  EXPECT_EQ(threadsRun.load(), kThreads);
}

}  // namespace
