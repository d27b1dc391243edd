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

#include <array>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <tuple>
#include <type_traits>

#include <cuda_runtime.h>

#include "export.hpp"
#include "touch.hpp"

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

// The same for a launch of the __global__ function `kernel` whose arguments touch the device
// memory listed in `touches`: the stream-order checker (control.hpp) sees the launch first, and
// a launch that races with work on another stream runs nothing and fails as a launch fails on
// the device: the last error now, and the next synchronisation once.
QM_EMULATOR_API void launch(dim3 grid, dim3 block, cudaStream_t stream,
                            const std::function<void()>& body, const void* kernel,
                            const Touch* touches, std::size_t count);

// Host code that stands for device work on `stream`, such as the emulated FFT: checked like a
// kernel launch over `touches` and named `name` in messages (a string that outlives the
// process's use of the emulator); `body` runs unless the work races.
QM_EMULATOR_API void runOnStream(cudaStream_t stream, const char* name,
                                 std::initializer_list<Touch> touches,
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

// What a kernel parameter touches: a pointer to const is read, any other pointer written.
template <typename P>
Touch touchOf(const P& parameter) {
  if constexpr (std::is_pointer_v<P>) {
    const bool read = std::is_const_v<std::remove_pointer_t<P>>;
    return {parameter, read ? Access::read : Access::write};
  } else {
    return {nullptr, Access::read};
  }
}

}  // namespace detail

// Launches `kernel` with `parameters` as a launch on the device passes them; each pointer
// parameter is a touch of the memory it leads into.
template <typename... P>
void launch(void (*kernel)(P...), dim3 grid, dim3 block, cudaStream_t stream,
            const std::tuple<P...>& parameters) {
  const auto touches = std::apply(
      [](const P&... p) { return std::array<Touch, sizeof...(P)>{detail::touchOf(p)...}; },
      parameters);
  launch(
      grid, block, stream, [&] { std::apply(kernel, parameters); },
      reinterpret_cast<const void*>(kernel), touches.data(), touches.size());
}

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
