#include <chrono>
#include <thread>

#include "emulator_test.hpp"

namespace {

using StreamsAndEvents = emu::testing::EmulatorTest;

TEST_F(StreamsAndEvents, StreamsKeepTheirFlagsUntilDestroyed) {
  cudaStream_t plain, nonBlocking;
  ASSERT_EQ(cudaStreamCreate(&plain), cudaSuccess);
  ASSERT_EQ(cudaStreamCreateWithFlags(&nonBlocking, cudaStreamNonBlocking), cudaSuccess);
  EXPECT_NE(plain, nonBlocking);
  EXPECT_NE(plain, nullptr);
  unsigned flags = 99;
  EXPECT_EQ(cudaStreamGetFlags(plain, &flags), cudaSuccess);
  EXPECT_EQ(flags, cudaStreamDefault);
  EXPECT_EQ(cudaStreamGetFlags(nonBlocking, &flags), cudaSuccess);
  EXPECT_EQ(flags, cudaStreamNonBlocking);
  EXPECT_EQ(cudaStreamGetFlags(nullptr, &flags), cudaSuccess);
  EXPECT_EQ(flags, cudaStreamDefault);
  for (const cudaStream_t s : {plain, nonBlocking, cudaStream_t{nullptr}}) {
    EXPECT_EQ(cudaStreamQuery(s), cudaSuccess);
    EXPECT_EQ(cudaStreamSynchronize(s), cudaSuccess);
  }

  EXPECT_EQ(cudaStreamDestroy(plain), cudaSuccess);
  EXPECT_EQ(cudaStreamDestroy(plain), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaStreamSynchronize(plain), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaStreamQuery(plain), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaStreamGetFlags(plain, &flags), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaStreamDestroy(nonBlocking), cudaSuccess);
}

TEST_F(StreamsAndEvents, CreationRejectsBadArguments) {
  cudaStream_t stream;
  cudaEvent_t event;
  EXPECT_EQ(cudaStreamCreate(nullptr), cudaErrorInvalidValue);
  EXPECT_EQ(cudaStreamCreateWithFlags(&stream, 0x10), cudaErrorInvalidValue);
  EXPECT_EQ(cudaEventCreate(nullptr), cudaErrorInvalidValue);
  EXPECT_EQ(cudaEventCreateWithFlags(&event, 0x80), cudaErrorInvalidValue);
  EXPECT_EQ(cudaEventCreateWithFlags(&event, cudaEventInterprocess), cudaErrorInvalidValue);
  EXPECT_EQ(cudaEventCreateWithFlags(&event, cudaEventInterprocess | cudaEventDisableTiming), cudaSuccess);
  EXPECT_EQ(cudaEventDestroy(event), cudaSuccess);
}

TEST_F(StreamsAndEvents, ElapsedTimeIsRealTimeBetweenRecords) {
  cudaStream_t stream;
  cudaEvent_t start, stop;
  ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
  ASSERT_EQ(cudaEventCreate(&start), cudaSuccess);
  ASSERT_EQ(cudaEventCreateWithFlags(&stop, cudaEventBlockingSync), cudaSuccess);
  const auto before = std::chrono::steady_clock::now();
  ASSERT_EQ(cudaEventRecord(start, stream), cudaSuccess);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ASSERT_EQ(cudaEventRecord(stop, stream), cudaSuccess);
  const float bound = std::chrono::duration<float, std::milli>(std::chrono::steady_clock::now() - before).count();
  EXPECT_EQ(cudaEventSynchronize(stop), cudaSuccess);
  EXPECT_EQ(cudaEventQuery(stop), cudaSuccess);
  float ms = 0;
  ASSERT_EQ(cudaEventElapsedTime(&ms, start, stop), cudaSuccess);
  EXPECT_GE(ms, 30.0f);
  EXPECT_LE(ms, bound);
  EXPECT_EQ(cudaEventDestroy(start), cudaSuccess);
  EXPECT_EQ(cudaEventDestroy(stop), cudaSuccess);
  EXPECT_EQ(cudaStreamDestroy(stream), cudaSuccess);
}

TEST_F(StreamsAndEvents, ElapsedTimeNeedsTwoRecordedTimingEvents) {
  cudaEvent_t recorded, unrecorded, untimed, destroyed;
  ASSERT_EQ(cudaEventCreate(&recorded), cudaSuccess);
  ASSERT_EQ(cudaEventCreate(&unrecorded), cudaSuccess);
  ASSERT_EQ(cudaEventCreateWithFlags(&untimed, cudaEventDisableTiming), cudaSuccess);
  ASSERT_EQ(cudaEventCreate(&destroyed), cudaSuccess);
  ASSERT_EQ(cudaEventRecord(recorded), cudaSuccess);
  ASSERT_EQ(cudaEventRecord(untimed), cudaSuccess);
  ASSERT_EQ(cudaEventRecord(destroyed), cudaSuccess);
  ASSERT_EQ(cudaEventDestroy(destroyed), cudaSuccess);
  float ms = -1;
  for (const cudaEvent_t other : {unrecorded, untimed, destroyed}) {
    EXPECT_EQ(cudaEventElapsedTime(&ms, recorded, other), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaEventElapsedTime(&ms, other, recorded), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
  }
  EXPECT_EQ(ms, -1);
  EXPECT_EQ(cudaEventElapsedTime(nullptr, recorded, recorded), cudaErrorInvalidValue);
  EXPECT_EQ(cudaEventElapsedTime(&ms, recorded, recorded), cudaSuccess);
  EXPECT_EQ(ms, 0);
  EXPECT_EQ(cudaEventQuery(unrecorded), cudaSuccess);
  for (const cudaEvent_t e : {recorded, unrecorded, untimed}) EXPECT_EQ(cudaEventDestroy(e), cudaSuccess);
}

TEST_F(StreamsAndEvents, WaitingForAnEventChecksItsArguments) {
  cudaStream_t stream;
  cudaEvent_t recorded, unrecorded, destroyed;
  ASSERT_EQ(cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking), cudaSuccess);
  ASSERT_EQ(cudaEventCreate(&recorded), cudaSuccess);
  ASSERT_EQ(cudaEventCreate(&unrecorded), cudaSuccess);
  ASSERT_EQ(cudaEventCreate(&destroyed), cudaSuccess);
  ASSERT_EQ(cudaEventRecord(recorded, nullptr), cudaSuccess);
  ASSERT_EQ(cudaEventDestroy(destroyed), cudaSuccess);
  EXPECT_EQ(cudaStreamWaitEvent(stream, recorded, 0), cudaSuccess);
  EXPECT_EQ(cudaStreamWaitEvent(nullptr, recorded, 0), cudaSuccess);
  EXPECT_EQ(cudaStreamWaitEvent(stream, unrecorded, 0), cudaSuccess);
  EXPECT_EQ(cudaStreamWaitEvent(stream, recorded, 0x10), cudaErrorInvalidValue);
  EXPECT_EQ(cudaStreamWaitEvent(stream, destroyed, 0), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
  ASSERT_EQ(cudaStreamDestroy(stream), cudaSuccess);
  EXPECT_EQ(cudaStreamWaitEvent(stream, recorded, 0), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaEventDestroy(recorded), cudaSuccess);
  EXPECT_EQ(cudaEventDestroy(unrecorded), cudaSuccess);
}

TEST_F(StreamsAndEvents, DestroyedHandlesAreRejected) {
  cudaStream_t stream;
  cudaEvent_t event, live;
  ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
  ASSERT_EQ(cudaEventCreate(&event), cudaSuccess);
  ASSERT_EQ(cudaEventCreate(&live), cudaSuccess);
  ASSERT_EQ(cudaStreamDestroy(stream), cudaSuccess);
  ASSERT_EQ(cudaEventDestroy(event), cudaSuccess);
  EXPECT_EQ(cudaEventRecord(live, stream), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaEventRecord(event), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaEventQuery(event), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaEventSynchronize(event), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaEventDestroy(event), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaMemsetAsync(nullptr, 0, 0, stream), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaEventDestroy(live), cudaSuccess);
}

}  // namespace
