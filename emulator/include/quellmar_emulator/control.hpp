#pragma once

// Controls that tests use to steer the emulated platform: injected failures, allocation
// accounting and the shape of the emulated machine. Every function is thread-safe.
//
// Environment read at load time and again by reset():
//   QM_EMULATOR_DEVICES=<n>        number of emulated devices (default 1; 0 means none, and
//                                  calls that need a device return cudaErrorNoDevice).
//   QM_EMULATOR_DEVICE_FAILURE=1   the devices are present but broken: device count,
//                                  properties, attributes and versions still answer, every call
//                                  that needs a working device (cudaSetDevice, memory, streams,
//                                  events, launches, synchronisation) returns
//                                  cudaErrorDevicesUnavailable, as for a device that is held
//                                  exclusively by another process or has fallen off the bus.
//   QM_EMULATOR_THREADS=<n>        OS threads that run the blocks of one launch (default: the
//                                  hardware concurrency, at most 8; 1 runs every block on the
//                                  launching thread).
//   QM_EMULATOR_STREAM_ORDER=0     turns the stream-order checker off (default on).
//
// The stream-order checker. The emulator runs each operation when it is issued, a device runs
// streams concurrently: a cudaStreamNonBlocking stream is not ordered after the legacy default
// stream, and a cudaMemcpy from pageable memory to the device, a device-to-device cudaMemcpy and
// a cudaMemset may still be running when they return. So every operation that touches device
// memory (copies, memsets, kernel launches through their arguments, emu::runOnStream) is
// checked against the last writer of each allocation it touches and, when it writes, the
// readers since: work of another stream must be ordered before it, by a synchronisation of
// that stream or of the device (cudaStreamSynchronize, cudaDeviceSynchronize, a successful
// cudaStreamQuery, a cudaMemcpy that returns only when done), an event recorded after it and
// waited for (cudaStreamWaitEvent) or seen complete on the host (cudaEventSynchronize,
// cudaEventQuery), or the legacy default stream's ordering with blocking streams. An operation
// that is not ordered fails with cudaErrorIllegalState and does nothing; a launch fails as a
// launch on the device does, also at the next synchronisation. cudaGetErrorString of that error
// then names both operations, their streams and the allocation, and the text goes to standard
// error too.

#include <cstddef>

#include <cuda_runtime_api.h>

#include "export.hpp"

namespace emu {

// The k-th call (1-based, counted from now) of the runtime function named `function`, e.g.
// "cudaMalloc", returns `error` and does nothing else; the error is recorded as last error.
// Faults armed for the same function count independently. "cudaLaunchKernel" names kernel
// launches, which then fail at launch time (last error set, nothing runs). A null `function`
// counts the calls of every function, on every thread, as callCount does.
QM_EMULATOR_API void failCall(const char* function, int k, cudaError_t error);

// Runtime calls made so far in the process, on every thread: the calls that failCall can fail,
// which are those of every runtime function but cudaGetLastError, cudaPeekAtLastError and the
// error texts, with kernel launches and emu::runOnStream work under their names.
QM_EMULATOR_API unsigned long long callCount();

// The function whose call an armed failCall fault failed most recently (its name as failCall
// takes it, or the name given to emu::runOnStream), null when none has fired since reset().
QM_EMULATOR_API const char* lastFailedCall();

// The next `count` kernel launches run nothing and fail asynchronously: the launch records
// `error` as last error, and the next synchronising call on the device (cudaStreamSynchronize,
// cudaDeviceSynchronize, cudaEventSynchronize, cudaMemcpy) returns it once.
QM_EMULATOR_API void failLaunches(int count, cudaError_t error = cudaErrorLaunchFailure);

// Live device memory (cudaMalloc) over all devices.
QM_EMULATOR_API std::size_t liveAllocations();
QM_EMULATOR_API std::size_t liveBytes();
// Live page-locked host memory (cudaMallocHost, cudaHostAlloc).
QM_EMULATOR_API std::size_t livePinnedAllocations();
QM_EMULATOR_API std::size_t livePinnedBytes();

// A device allocation as a launch observer sees it.
struct DeviceRange {
  const void* base;
  std::size_t size;
};

// Sees the kernel launches that run, on the thread that launches them: begin() before the first
// thread of a launch starts, with the allocations its pointer arguments lead into (each once,
// as a kernel reaches device memory only through its arguments), and end() after its last
// thread has returned. Launches that run nothing (a fault, a race, a bad shape) are not seen.
// For tests that measure what kernels do to memory.
class LaunchObserver {
 public:
  virtual void begin(const DeviceRange* allocations, std::size_t count) = 0;
  virtual void end() = 0;

 protected:
  ~LaunchObserver() = default;
};

// Puts `observer` in place of the one before (null for none); reset() leaves it in place.
QM_EMULATOR_API void observeLaunches(LaunchObserver* observer);

// In-process equivalents of QM_EMULATOR_DEVICES, QM_EMULATOR_DEVICE_FAILURE,
// QM_EMULATOR_THREADS and QM_EMULATOR_STREAM_ORDER, in force until the next reset().
QM_EMULATOR_API void setDeviceCount(int count);
QM_EMULATOR_API void setDeviceFailure(bool failing);
QM_EMULATOR_API void setWorkerThreads(int count);
QM_EMULATOR_API void setStreamOrderChecks(bool enabled);

// Disarms every fault, drops pending launch failures, forgets the last race and the last failed
// call, and restores the device count, the failure switch, the worker count and the
// stream-order switch from the environment. Memory stays allocated, the call count goes on, and
// the checker keeps what it knows of the work done.
QM_EMULATOR_API void reset();

}  // namespace emu
