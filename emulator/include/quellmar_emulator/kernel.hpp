#pragma once

// The CUDA kernel language for g++: kernels written for nvcc compile unchanged and run on the
// CPU through emu::launch.
//
// All threads of a block run as fibers on one OS thread and never move to another one, so a
// thread-local variable is exactly block-shared storage. The toolkit's host_defines.h keeps a
// __shared__ that is already defined and otherwise defines an empty one, so the definition
// goes first and also replaces one from a toolkit header included earlier. Under g++ that
// header makes __global__, __device__ and __host__ empty.
#undef __shared__
#define __shared__ static thread_local

#include <functional>

#include <cuda_runtime.h>

#include "export.hpp"

// Set by the executor before it resumes each emulated thread. __thread rather than
// thread_local: these have no dynamic initialisation, and __thread spares every access the
// thread_local wrapper call.
extern QM_EMULATOR_API __thread uint3 threadIdx;
extern QM_EMULATOR_API __thread uint3 blockIdx;
extern QM_EMULATOR_API __thread dim3 blockDim;
extern QM_EMULATOR_API __thread dim3 gridDim;
inline constexpr int warpSize = 32;

namespace emu {

// Runs the whole grid before returning: every thread of every block calls `body`, with block
// storage and barriers as on the device. Blocks may run concurrently on several OS threads.
// A bad shape, stream or device runs nothing and sets the last error as the runtime does.
QM_EMULATOR_API void launch(dim3 grid, dim3 block, cudaStream_t stream,
                            const std::function<void()>& body);

// The barrier behind __syncthreads.
QM_EMULATOR_API void syncthreads();

namespace detail {

template <typename T, typename F>
T atomicUpdate(T* address, F update) {
  T old;
  __atomic_load(address, &old, __ATOMIC_RELAXED);
  T desired = update(old);
  while (!__atomic_compare_exchange(address, &old, &desired, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_RELAXED)) {
    desired = update(old);
  }
  return old;
}

template <typename T>
T atomicExchange(T* address, T value) {
  T old;
  __atomic_exchange(address, &value, &old, __ATOMIC_SEQ_CST);
  return old;
}

template <typename T>
T fetchAdd(T* address, T value) {
  return __atomic_fetch_add(address, value, __ATOMIC_SEQ_CST);
}

template <typename T>
T compareExchange(T* address, T compare, T value) {
  __atomic_compare_exchange_n(address, &compare, value, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return compare;
}

}  // namespace detail
}  // namespace emu

inline void __syncthreads() { emu::syncthreads(); }
inline void __threadfence() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }

inline int atomicExch(int* address, int value) { return emu::detail::atomicExchange(address, value); }
inline unsigned atomicExch(unsigned* address, unsigned value) {
  return emu::detail::atomicExchange(address, value);
}
inline unsigned long long atomicExch(unsigned long long* address, unsigned long long value) {
  return emu::detail::atomicExchange(address, value);
}
inline float atomicExch(float* address, float value) {
  return emu::detail::atomicExchange(address, value);
}

inline int atomicAdd(int* address, int value) { return emu::detail::fetchAdd(address, value); }
inline unsigned atomicAdd(unsigned* address, unsigned value) {
  return emu::detail::fetchAdd(address, value);
}
inline unsigned long long atomicAdd(unsigned long long* address, unsigned long long value) {
  return emu::detail::fetchAdd(address, value);
}
inline float atomicAdd(float* address, float value) {
  return emu::detail::atomicUpdate(address, [value](float old) { return old + value; });
}
inline double atomicAdd(double* address, double value) {
  return emu::detail::atomicUpdate(address, [value](double old) { return old + value; });
}

inline int atomicCAS(int* address, int compare, int value) {
  return emu::detail::compareExchange(address, compare, value);
}
inline unsigned atomicCAS(unsigned* address, unsigned compare, unsigned value) {
  return emu::detail::compareExchange(address, compare, value);
}
inline unsigned long long atomicCAS(unsigned long long* address, unsigned long long compare,
                                    unsigned long long value) {
  return emu::detail::compareExchange(address, compare, value);
}
