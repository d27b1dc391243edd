#pragma once

// Pieces the runtime calls share: the common entry path of every call, and the hooks the
// translation units offer one another.

#include <cstddef>
#include <cstdint>
#include <string>

#include <cuda_runtime_api.h>

#include "quellmar_emulator/export.hpp"
#include "quellmar_emulator/touch.hpp"

#define QM_RUNTIME_CALL extern "C" QM_EMULATOR_API

namespace emu::detail {

// errors.cpp
void recordError(cudaError_t error);

// faults.cpp
cudaError_t injectedFault(const char* function);
// True (and the error to report) when the next launch is to fail asynchronously.
bool takeLaunchFailure(cudaError_t& error);
void setPendingError(int device, cudaError_t error);
// The asynchronous error waiting on `device`, cleared by reading it.
cudaError_t takePendingError(int device);
void resetFaults();

// device.cpp
int currentDevice();
// Whether the calling thread's current device can run work.
cudaError_t deviceState();
// Whether `device` names an existing device.
cudaError_t checkOrdinal(int device);
void resetDevices();

// memory.cpp
std::size_t liveBytesOn(int device);
void releaseMemory(int device);

// A live device allocation; `serial` tells apart allocations that reuse an address.
struct AllocationView {
  std::uintptr_t base;
  std::size_t size;
  int device;
  std::uint64_t serial;
};
// The allocation `pointer` lies in, if any.
bool findAllocation(const void* pointer, AllocationView& view);

// streams_events.cpp
bool streamValid(cudaStream_t stream);
void releaseStreamsAndEvents(int device);

// stream_order.cpp: what the platform promises about the order of work on different streams.
// Every operation that touches device memory is checked against the last work on it.

// An operation as messages name it: the runtime call (or the name of host-run work), what the
// call did if it can do several things (a copy's direction), and the launched function.
struct Operation {
  const char* call;
  const char* detail = nullptr;
  const void* kernel = nullptr;
};

// Issues `operation` on `stream`: cudaErrorIllegalState when one of its touches races with
// earlier work on another stream (the operation then counts as not issued), else success.
// `hostWaits`: the call returns only once the operation has completed.
cudaError_t orderOperation(cudaStream_t stream, const Operation& operation,
                           const emu::Touch* touches, std::size_t count, bool hostWaits);
void addStream(cudaStream_t stream, int device, bool blocking);
void recordEvent(cudaEvent_t event, cudaStream_t stream);
void waitEvent(cudaStream_t stream, cudaEvent_t event);
// The host has seen the event, the stream or the whole device complete.
void eventCompleted(cudaEvent_t event);
void streamCompleted(cudaStream_t stream);
void deviceCompleted(int device);
void forgetStream(cudaStream_t stream);
void forgetEvent(cudaEvent_t event);
void forgetAllocation(const AllocationView& view);
void forgetDevice(int device);
// The text of the last race found since the last reset, null when none.
const char* raceReport();
void resetStreamOrder();

// executor.cpp
void resetWorkers();

// symbols.cpp: the name of the function at `function`, for messages.
std::string functionName(const void* function);

enum class Needs { nothing,
                   device };

// Every runtime call goes through here, so that injected faults, the device switches and
// the last-error rule apply uniformly.
template <typename Body>
cudaError_t call(const char* function, Needs needs, Body&& body) {
  cudaError_t error = injectedFault(function);
  if (error == cudaSuccess && needs == Needs::device) error = deviceState();
  if (error == cudaSuccess) error = body();
  // Polling calls report "not ready" without it becoming the last error.
  if (error != cudaSuccess && error != cudaErrorNotReady) recordError(error);
  return error;
}

}  // namespace emu::detail
