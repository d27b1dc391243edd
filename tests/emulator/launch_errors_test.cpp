// A launch the device would refuse runs nothing and leaves its error as the last error,
// which reads back until cudaGetLastError clears it.

#include <atomic>
#include <thread>

#include "emulator_test.hpp"

namespace {

class LaunchErrors : public emu::testing::EmulatorTest {
 protected:
  // Whether any thread ran.
  bool launch(dim3 grid, dim3 block, cudaStream_t stream = nullptr) {
    std::atomic<bool> ran{false};
    emu::launch(grid, block, stream, [&] { ran = true; });
    return ran;
  }
};

TEST_F(LaunchErrors, ShapesBeyondTheDeviceLimitsAreInvalidConfigurations) {
  struct Case {
    const char* name;
    dim3 grid, block;
  };
  const Case cases[] = {
      {"empty block x", {1, 1, 1}, {0, 1, 1}},
      {"empty block y", {1, 1, 1}, {1, 0, 1}},
      {"empty block z", {1, 1, 1}, {1, 1, 0}},
      {"empty grid x", {0, 1, 1}, {1, 1, 1}},
      {"empty grid y", {1, 0, 1}, {1, 1, 1}},
      {"empty grid z", {1, 1, 0}, {1, 1, 1}},
      {"block x over 1024", {1, 1, 1}, {1025, 1, 1}},
      {"block y over 1024", {1, 1, 1}, {1, 1025, 1}},
      {"block z over 64", {1, 1, 1}, {1, 1, 65}},
      {"more than 1024 threads", {1, 1, 1}, {32, 32, 2}},
      {"grid x over 2^31-1", {2147483648u, 1, 1}, {1, 1, 1}},
      {"grid y over 65535", {1, 65536, 1}, {1, 1, 1}},
      {"grid z over 65535", {1, 1, 65536}, {1, 1, 1}},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(launch(c.grid, c.block)) << c.name;
    EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidConfiguration) << c.name;
    EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidConfiguration) << c.name;
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration) << c.name;
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << c.name;
  }
}

TEST_F(LaunchErrors, ShapesAtTheDeviceLimitsRun) {
  struct Case {
    const char* name;
    dim3 grid, block;
  };
  const Case cases[] = {
      {"1024 threads in x", {1, 1, 1}, {1024, 1, 1}},
      {"1024 threads in y", {1, 1, 1}, {1, 1024, 1}},
      {"64 threads in z", {1, 1, 1}, {1, 1, 64}},
      {"1024 threads in a square", {1, 1, 1}, {32, 32, 1}},
      {"65535 blocks in y", {1, 65535, 1}, {1, 1, 1}},
      {"65535 blocks in z", {1, 1, 65535}, {1, 1, 1}},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(launch(c.grid, c.block)) << c.name;
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << c.name;
  }
}

TEST_F(LaunchErrors, LastErrorSurvivesLaterSuccessfulCalls) {
  launch(1, 2048);
  void* memory = nullptr;
  ASSERT_EQ(cudaMalloc(&memory, 64), cudaSuccess);
  EXPECT_TRUE(launch(1, 32));
  EXPECT_EQ(cudaFree(memory), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
  EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess);
}

TEST_F(LaunchErrors, LastErrorBelongsToTheHostThread) {
  launch(0, 1);
  std::thread([] { EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess); }).join();
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
}

TEST_F(LaunchErrors, StreamsThatDoNotExistAreRejected) {
  cudaStream_t destroyed;
  ASSERT_EQ(cudaStreamCreate(&destroyed), cudaSuccess);
  ASSERT_EQ(cudaStreamDestroy(destroyed), cudaSuccess);
  for (const cudaStream_t stream : {destroyed, reinterpret_cast<cudaStream_t>(0x1234)}) {
    EXPECT_FALSE(launch(1, 1, stream));
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
  }
  for (const cudaStream_t stream : {cudaStream_t{nullptr}, cudaStreamLegacy, cudaStreamPerThread}) {
    EXPECT_TRUE(launch(1, 1, stream));
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  }
}

TEST_F(LaunchErrors, LaunchingFromInsideAKernelIsNotSupported) {
  bool innerRan = false;
  emu::launch(1, 1, nullptr, [&] {
    emu::launch(1, 1, nullptr, [&] { innerRan = true; });
    EXPECT_EQ(cudaGetLastError(), cudaErrorNotSupported);
  });
  EXPECT_FALSE(innerRan);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

}  // namespace
