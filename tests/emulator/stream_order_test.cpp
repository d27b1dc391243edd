// The stream-order checker: a pair of operations on one allocation passes when the platform
// orders the second after the first, and fails when only the emulator's issue order does.

#include <malloc.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <tuple>

#include "emulator_test.hpp"

namespace {

using StreamOrder = emu::testing::EmulatorTest;

constexpr unsigned kCount = 32;

__global__ void writeKernel(float* data) { data[threadIdx.x] = 1.0f; }

__global__ void readKernel(const float* data) {
  volatile float sample = data[threadIdx.x];
  (void)sample;
}

// What one case works with: the built-in streams, one blocking and two non-blocking streams,
// an event, the allocation under test and a second one, and host memory of both kinds.
struct Scene {
  cudaStream_t legacy = nullptr;
  cudaStream_t perThread = cudaStreamPerThread;
  cudaStream_t blocking = nullptr;
  cudaStream_t first = nullptr;
  cudaStream_t second = nullptr;
  cudaEvent_t event = nullptr;
  emu::testing::DeviceBuffer<float> buffer{kCount};
  emu::testing::DeviceBuffer<float> other{kCount};
  std::vector<float> pageable = std::vector<float>(kCount, 2.0f);
  float* pinned = nullptr;

  Scene() {
    EXPECT_EQ(cudaStreamCreate(&blocking), cudaSuccess);
    EXPECT_EQ(cudaStreamCreateWithFlags(&first, cudaStreamNonBlocking), cudaSuccess);
    EXPECT_EQ(cudaStreamCreateWithFlags(&second, cudaStreamNonBlocking), cudaSuccess);
    EXPECT_EQ(cudaEventCreate(&event), cudaSuccess);
    EXPECT_EQ(cudaMallocHost(reinterpret_cast<void**>(&pinned), kCount * sizeof(float)), cudaSuccess);
    // What the buffers held before the case began is no part of it.
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  }

  ~Scene() {
    // A racing launch leaves its error for the next synchronisation.
    cudaDeviceSynchronize();
    cudaGetLastError();
    cudaFreeHost(pinned);
    cudaEventDestroy(event);
    for (cudaStream_t stream : {blocking, first, second}) cudaStreamDestroy(stream);
    // A stream that the case destroyed itself is refused here, which is no part of the next case.
    cudaGetLastError();
  }
};

using Step = std::function<cudaError_t(Scene&)>;
using StreamOf = cudaStream_t Scene::*;

template <typename Pointer>
cudaError_t launchOn(cudaStream_t stream, void (*kernel)(Pointer), Pointer data) {
  emu::launch(kernel, dim3(1), dim3(kCount), stream, std::tuple<Pointer>(data));
  return cudaGetLastError();
}

Step write(StreamOf s) {
  return [s](Scene& x) { return launchOn<float*>(x.*s, writeKernel, x.buffer.get()); };
}
Step read(StreamOf s) {
  return [s](Scene& x) { return launchOn<const float*>(x.*s, readKernel, x.buffer.get()); };
}
Step readOther(StreamOf s) {
  return [s](Scene& x) { return launchOn<const float*>(x.*s, readKernel, x.other.get()); };
}
Step synchronise(StreamOf s) {
  return [s](Scene& x) { return cudaStreamSynchronize(x.*s); };
}
Step query(StreamOf s) {
  return [s](Scene& x) { return cudaStreamQuery(x.*s); };
}
Step record(StreamOf s) {
  return [s](Scene& x) { return cudaEventRecord(x.event, x.*s); };
}
Step wait(StreamOf s) {
  return [s](Scene& x) { return cudaStreamWaitEvent(x.*s, x.event, 0); };
}
Step destroy(StreamOf s) {
  return [s](Scene& x) { return cudaStreamDestroy(x.*s); };
}
Step copyIn(StreamOf s) {
  return [s](Scene& x) {
    return cudaMemcpyAsync(x.buffer.get(), x.pageable.data(), x.buffer.bytes(), cudaMemcpyHostToDevice, x.*s);
  };
}
Step copyOut(StreamOf s) {
  return [s](Scene& x) {
    return cudaMemcpyAsync(x.pageable.data(), x.buffer.get(), x.buffer.bytes(), cudaMemcpyDeviceToHost, x.*s);
  };
}
Step hostWork(StreamOf s) {
  return [s](Scene& x) {
    emu::runOnStream(x.*s, "host work", {{x.buffer.get(), emu::Access::write}}, [] {});
    return cudaGetLastError();
  };
}

const Step synchroniseDevice = [](Scene&) { return cudaDeviceSynchronize(); };
const Step synchroniseEvent = [](Scene& x) { return cudaEventSynchronize(x.event); };
const Step queryEvent = [](Scene& x) { return cudaEventQuery(x.event); };
const Step pageableToDevice = [](Scene& x) {
  return cudaMemcpy(x.buffer.get(), x.pageable.data(), x.buffer.bytes(), cudaMemcpyHostToDevice);
};
const Step pinnedToDevice = [](Scene& x) {
  return cudaMemcpy(x.buffer.get(), x.pinned, x.buffer.bytes(), cudaMemcpyHostToDevice);
};
const Step deviceToDevice = [](Scene& x) {
  return cudaMemcpy(x.buffer.get(), x.other.get(), x.buffer.bytes(), cudaMemcpyDeviceToDevice);
};
const Step deviceToHost = [](Scene& x) {
  return cudaMemcpy(x.pageable.data(), x.buffer.get(), x.buffer.bytes(), cudaMemcpyDeviceToHost);
};
const Step fill = [](Scene& x) { return cudaMemset(x.buffer.get(), 0, x.buffer.bytes()); };

TEST_F(StreamOrder, PairsPassExactlyWhenThePlatformOrdersThem) {
  struct Case {
    const char* name;
    std::vector<Step> before;  // the first operation and whatever follows it
    Step then;
    bool races;
  };
  const Case cases[] = {
      {"a read after a write on the same stream", {write(&Scene::first)}, read(&Scene::first), false},
      {"a read after a write on another stream", {write(&Scene::first)}, read(&Scene::second), true},
      {"a write after a read on another stream", {read(&Scene::first)}, write(&Scene::second), true},
      {"a write after a write on another stream", {write(&Scene::first)}, write(&Scene::second), true},
      {"reads on two streams", {read(&Scene::first)}, read(&Scene::second), false},
      {"another allocation", {write(&Scene::first)}, readOther(&Scene::second), false},
      {"the first stream synchronised", {write(&Scene::first), synchronise(&Scene::first)}, read(&Scene::second), false},
      {"the other stream synchronised", {write(&Scene::first), synchronise(&Scene::second)}, read(&Scene::second), true},
      {"the first stream queried", {write(&Scene::first), query(&Scene::first)}, read(&Scene::second), false},
      {"the device synchronised", {write(&Scene::first), synchroniseDevice}, read(&Scene::second), false},
      {"an event recorded after the first and waited for",
       {write(&Scene::first), record(&Scene::first), wait(&Scene::second)},
       read(&Scene::second),
       false},
      {"an event recorded before the first",
       {record(&Scene::first), write(&Scene::first), wait(&Scene::second)},
       read(&Scene::second),
       true},
      {"an event never waited for", {write(&Scene::first), record(&Scene::first)}, read(&Scene::second), true},
      {"an event waited for by a third stream",
       {write(&Scene::first), record(&Scene::first), wait(&Scene::blocking)},
       read(&Scene::second),
       true},
      {"an event synchronised", {write(&Scene::first), record(&Scene::first), synchroniseEvent}, read(&Scene::second), false},
      {"an event queried", {write(&Scene::first), record(&Scene::first), queryEvent}, read(&Scene::second), false},
      {"the legacy stream, then a blocking stream", {write(&Scene::legacy)}, read(&Scene::blocking), false},
      {"a blocking stream, then the legacy stream", {write(&Scene::blocking)}, read(&Scene::legacy), false},
      {"the legacy stream, then the per-thread stream", {write(&Scene::legacy)}, read(&Scene::perThread), false},
      {"the legacy stream, then a non-blocking stream", {write(&Scene::legacy)}, read(&Scene::first), true},
      {"a non-blocking stream, then the legacy stream", {write(&Scene::first)}, read(&Scene::legacy), true},
      {"an event's order passed on through the legacy stream",
       {write(&Scene::first), record(&Scene::first), wait(&Scene::blocking), readOther(&Scene::blocking),
        readOther(&Scene::legacy)},
       read(&Scene::perThread),
       false},
      {"cudaMemcpy from pageable memory", {pageableToDevice}, read(&Scene::first), true},
      {"cudaMemcpy from pageable memory, device synchronised", {pageableToDevice, synchroniseDevice}, read(&Scene::first), false},
      {"cudaMemcpy from page-locked memory", {pinnedToDevice}, read(&Scene::first), false},
      {"cudaMemcpy between device buffers", {deviceToDevice}, read(&Scene::first), true},
      {"cudaMemset", {fill}, read(&Scene::first), true},
      {"cudaMemcpy to the host", {deviceToHost}, write(&Scene::first), false},
      {"a copy on the stream that reads it", {copyIn(&Scene::first)}, read(&Scene::first), false},
      {"a copy on another stream", {copyIn(&Scene::first)}, read(&Scene::second), true},
      {"a copy out on another stream", {write(&Scene::first)}, copyOut(&Scene::second), true},
      {"host work on another stream", {hostWork(&Scene::first)}, read(&Scene::second), true},
      {"host work after an event", {hostWork(&Scene::first), record(&Scene::first), wait(&Scene::second)}, read(&Scene::second), false},
      {"a stream destroyed", {write(&Scene::first), destroy(&Scene::first)}, read(&Scene::second), true},
      {"a stream synchronised, then destroyed",
       {write(&Scene::first), synchronise(&Scene::first), destroy(&Scene::first)},
       read(&Scene::second),
       false},
      {"an event of a destroyed stream waited for",
       {write(&Scene::first), record(&Scene::first), destroy(&Scene::first), wait(&Scene::second)},
       read(&Scene::second),
       false},
      {"a blocking stream destroyed, then the legacy stream", {write(&Scene::blocking), destroy(&Scene::blocking)}, read(&Scene::legacy), false},
      {"a non-blocking stream destroyed, then the legacy stream", {write(&Scene::first), destroy(&Scene::first)}, read(&Scene::legacy), true},
      {"an event's order passed on through a destroyed blocking stream",
       {write(&Scene::first), record(&Scene::first), wait(&Scene::blocking), destroy(&Scene::blocking)},
       read(&Scene::legacy),
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scene scene;
    for (const Step& step : c.before) ASSERT_EQ(step(scene), cudaSuccess);
    EXPECT_EQ(c.then(scene), c.races ? cudaErrorIllegalState : cudaSuccess);
  }
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(StreamOrder, ARacingLaunchNamesBothOperationsRunsNothingAndFailsTheNextSynchronisation) {
  Scene scene;
  ASSERT_EQ(pageableToDevice(scene), cudaSuccess);
  EXPECT_EQ(write(&Scene::first)(scene), cudaErrorIllegalState);
  const std::string message = cudaGetErrorString(cudaErrorIllegalState);
  EXPECT_TRUE(contains(message, "kernel writeKernel (operation ")) << message;
  EXPECT_TRUE(contains(message, " of non-blocking stream 0x")) << message;
  EXPECT_TRUE(contains(message, ") writes it after cudaMemcpy host to device (operation ")) << message;
  EXPECT_TRUE(contains(message, " of the legacy default stream of device 0) wrote it")) << message;
  EXPECT_TRUE(contains(message, std::to_string(scene.buffer.bytes()) + " bytes")) << message;
  EXPECT_EQ(cudaStreamSynchronize(scene.first), cudaErrorIllegalState);
  EXPECT_EQ(cudaStreamSynchronize(scene.first), cudaSuccess);
  EXPECT_EQ(scene.buffer.read(), scene.pageable);
}

TEST_F(StreamOrder, ARacingCopyMovesNothing) {
  Scene scene;
  ASSERT_EQ(write(&Scene::first)(scene), cudaSuccess);
  const std::vector<float> before = scene.pageable;
  EXPECT_EQ(copyOut(&Scene::second)(scene), cudaErrorIllegalState);
  EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalState);
  const std::string message = cudaGetErrorString(cudaErrorIllegalState);
  EXPECT_TRUE(contains(message, "cudaMemcpyAsync device to host (operation ")) << message;
  EXPECT_TRUE(contains(message, ") reads it after kernel writeKernel (operation ")) << message;
  EXPECT_EQ(scene.pageable, before);
  // The copy reported its failure itself; nothing is left for the device.
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}

TEST_F(StreamOrder, TheCheckerIsSwitchedInProcessOrByTheEnvironment) {
  const auto racePasses = [] {
    Scene scene;
    EXPECT_EQ(write(&Scene::first)(scene), cudaSuccess);
    return read(&Scene::second)(scene) == cudaSuccess;
  };
  EXPECT_FALSE(racePasses());
  emu::setStreamOrderChecks(false);
  EXPECT_TRUE(racePasses());
  emu::reset();
  EXPECT_FALSE(racePasses());
  setenv("QM_EMULATOR_STREAM_ORDER", "0", 1);
  emu::reset();
  EXPECT_TRUE(racePasses());
  unsetenv("QM_EMULATOR_STREAM_ORDER");
  emu::reset();
  EXPECT_FALSE(racePasses());
}

TEST_F(StreamOrder, ResetForgetsTheReportButNotTheWork) {
  Scene scene;
  ASSERT_EQ(write(&Scene::first)(scene), cudaSuccess);
  EXPECT_EQ(read(&Scene::second)(scene), cudaErrorIllegalState);
  emu::reset();
  EXPECT_STREQ(cudaGetErrorString(cudaErrorIllegalState), "the operation cannot be performed in the present state");
  EXPECT_EQ(read(&Scene::second)(scene), cudaErrorIllegalState);
}

// Streams made, used, synchronised and destroyed in their thousands: the checker keeps nothing of
// them (measured on the main allocation arena, where this thread's allocations land).
TEST_F(StreamOrder, DestroyedStreamsLeaveNothingBehind) {
  emu::testing::DeviceBuffer<float> data{kCount};
  constexpr int kStreams = 2000;
  const auto streams = [&] {
    for (int i = 0; i < kStreams; ++i) {
      cudaStream_t stream = nullptr;
      ASSERT_EQ(cudaStreamCreateWithFlags(&stream, i % 2 == 0 ? cudaStreamDefault : cudaStreamNonBlocking), cudaSuccess);
      ASSERT_EQ(launchOn<float*>(stream, writeKernel, data.get()), cudaSuccess);
      ASSERT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
      ASSERT_EQ(cudaStreamDestroy(stream), cudaSuccess);
    }
  };
  streams();
  const std::size_t before = mallinfo2().uordblks;
  for (int round = 0; round < 10; ++round) streams();
  const std::size_t after = mallinfo2().uordblks;
  EXPECT_LT(after, before + 10 * kStreams) << (after - before) / (10 * kStreams) << " bytes per stream";
}

TEST_F(StreamOrder, AnAllocationAtAFreedAddressHasNoHistory) {
  cudaStream_t first, second;
  ASSERT_EQ(cudaStreamCreateWithFlags(&first, cudaStreamNonBlocking), cudaSuccess);
  ASSERT_EQ(cudaStreamCreateWithFlags(&second, cudaStreamNonBlocking), cudaSuccess);
  float* data = nullptr;
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&data), kCount * sizeof(float)), cudaSuccess);
  ASSERT_EQ(launchOn<float*>(first, writeKernel, data), cudaSuccess);
  ASSERT_EQ(cudaFree(data), cudaSuccess);
  float* again = nullptr;
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&again), kCount * sizeof(float)), cudaSuccess);
  EXPECT_EQ(launchOn<const float*>(second, readKernel, again), cudaSuccess) << (again == data ? "same address" : "");
  EXPECT_EQ(cudaFree(again), cudaSuccess);
  EXPECT_EQ(cudaStreamDestroy(first), cudaSuccess);
  EXPECT_EQ(cudaStreamDestroy(second), cudaSuccess);
}

}  // namespace
