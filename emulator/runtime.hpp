#pragma once

// Pieces the runtime calls share: the common entry path of every call, and the hooks the
// translation units offer one another.

#include <cstddef>

#include <cuda_runtime_api.h>

#include "quellmar_emulator/export.hpp"

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

// streams_events.cpp
bool streamValid(cudaStream_t stream);
void releaseStreamsAndEvents(int device);

// executor.cpp
void resetWorkers();

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
