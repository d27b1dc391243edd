#include <chrono>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "runtime.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Stream {
  int device;
  unsigned flags;
};

struct Event {
  int device;
  unsigned flags;
  bool recorded = false;
  Clock::time_point when{};
};

constexpr unsigned kStreamFlags = cudaStreamNonBlocking;
constexpr unsigned kEventFlags = cudaEventBlockingSync | cudaEventDisableTiming | cudaEventInterprocess;

// Handles are never dereferenced, so they are numbers that are never reused: a destroyed
// handle stays recognisably dead, and one that is dereferenced by mistake faults at once
// because the numbers lie in the unmapped first pages.
class Handles {
 public:
  template <typename Handle, typename Object>
  Handle add(std::unordered_map<std::uintptr_t, Object>& table, Object object) {
    const std::uintptr_t handle = kFirst + kStride * next_++;
    table.emplace(handle, object);
    return reinterpret_cast<Handle>(handle);
  }

  std::mutex mutex;
  std::unordered_map<std::uintptr_t, Stream> streams;
  std::unordered_map<std::uintptr_t, Event> events;

 private:
  static constexpr std::uintptr_t kFirst = 0x1000;
  static constexpr std::uintptr_t kStride = 0x10;
  std::uintptr_t next_ = 0;
};

Handles& handles() {
  static Handles instance;
  return instance;
}

template <typename Object, typename Handle>
Object* lookup(std::unordered_map<std::uintptr_t, Object>& table, Handle handle) {
  const auto it = table.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == table.end() ? nullptr : &it->second;
}

bool isBuiltinStream(cudaStream_t stream) {
  return stream == nullptr || stream == cudaStreamLegacy || stream == cudaStreamPerThread;
}

bool streamKnown(Handles& h, cudaStream_t stream) {
  return isBuiltinStream(stream) || lookup(h.streams, stream) != nullptr;
}

template <typename Object>
void eraseDevice(std::unordered_map<std::uintptr_t, Object>& table, int device) {
  for (auto it = table.begin(); it != table.end();) {
    it = it->second.device == device ? table.erase(it) : std::next(it);
  }
}

cudaError_t createStream(cudaStream_t* pStream, unsigned flags) {
  if (pStream == nullptr || (flags & ~kStreamFlags) != 0) return cudaErrorInvalidValue;
  Handles& h = handles();
  std::lock_guard lock(h.mutex);
  const int device = emu::detail::currentDevice();
  *pStream = h.add<cudaStream_t>(h.streams, Stream{device, flags});
  emu::detail::addStream(*pStream, device, (flags & cudaStreamNonBlocking) == 0);
  return cudaSuccess;
}

cudaError_t createEvent(cudaEvent_t* event, unsigned flags) {
  if (event == nullptr || (flags & ~kEventFlags) != 0) return cudaErrorInvalidValue;
  // Events shared between processes cannot carry timing.
  if ((flags & cudaEventInterprocess) != 0 && (flags & cudaEventDisableTiming) == 0) {
    return cudaErrorInvalidValue;
  }
  Handles& h = handles();
  std::lock_guard lock(h.mutex);
  *event = h.add<cudaEvent_t>(h.events, Event{emu::detail::currentDevice(), flags});
  return cudaSuccess;
}

}  // namespace

namespace emu::detail {

bool streamValid(cudaStream_t stream) {
  Handles& h = handles();
  std::lock_guard lock(h.mutex);
  return streamKnown(h, stream);
}

void releaseStreamsAndEvents(int device) {
  Handles& h = handles();
  std::lock_guard lock(h.mutex);
  eraseDevice(h.streams, device);
  eraseDevice(h.events, device);
  emu::detail::forgetDevice(device);
}

}  // namespace emu::detail

using emu::detail::call;
using emu::detail::currentDevice;
using emu::detail::Needs;
using emu::detail::takePendingError;

QM_RUNTIME_CALL cudaError_t cudaStreamCreateWithFlags(cudaStream_t* pStream, unsigned int flags) {
  return call("cudaStreamCreateWithFlags", Needs::device, [&] { return createStream(pStream, flags); });
}

QM_RUNTIME_CALL cudaError_t cudaStreamCreate(cudaStream_t* pStream) {
  return call("cudaStreamCreate", Needs::device,
              [&] { return createStream(pStream, cudaStreamDefault); });
}

QM_RUNTIME_CALL cudaError_t cudaStreamDestroy(cudaStream_t stream) {
  return call("cudaStreamDestroy", Needs::device, [&] {
    Handles& h = handles();
    std::lock_guard lock(h.mutex);
    if (h.streams.erase(reinterpret_cast<std::uintptr_t>(stream)) != 1) return cudaErrorInvalidResourceHandle;
    emu::detail::forgetStream(stream);
    return cudaSuccess;
  });
}

QM_RUNTIME_CALL cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
  return call("cudaStreamSynchronize", Needs::device, [&] {
    if (!emu::detail::streamValid(stream)) return cudaErrorInvalidResourceHandle;
    emu::detail::streamCompleted(stream);
    return takePendingError(currentDevice());
  });
}

QM_RUNTIME_CALL cudaError_t cudaStreamQuery(cudaStream_t stream) {
  // Work completes as it is issued, so a valid stream is always idle.
  return call("cudaStreamQuery", Needs::device, [&] {
    if (!emu::detail::streamValid(stream)) return cudaErrorInvalidResourceHandle;
    emu::detail::streamCompleted(stream);
    return cudaSuccess;
  });
}

QM_RUNTIME_CALL cudaError_t cudaStreamWaitEvent(cudaStream_t stream, cudaEvent_t event, unsigned int flags) {
  return call("cudaStreamWaitEvent", Needs::device, [&] {
    if (flags != cudaEventWaitDefault) return cudaErrorInvalidValue;
    {
      Handles& h = handles();
      std::lock_guard lock(h.mutex);
      if (lookup(h.events, event) == nullptr || !streamKnown(h, stream)) return cudaErrorInvalidResourceHandle;
    }
    emu::detail::waitEvent(stream, event);
    return cudaSuccess;
  });
}

QM_RUNTIME_CALL cudaError_t cudaStreamGetFlags(cudaStream_t hStream, unsigned int* flags) {
  return call("cudaStreamGetFlags", Needs::device, [&] {
    if (flags == nullptr) return cudaErrorInvalidValue;
    if (isBuiltinStream(hStream)) {
      *flags = cudaStreamDefault;
      return cudaSuccess;
    }
    Handles& h = handles();
    std::lock_guard lock(h.mutex);
    const Stream* stream = lookup(h.streams, hStream);
    if (stream == nullptr) return cudaErrorInvalidResourceHandle;
    *flags = stream->flags;
    return cudaSuccess;
  });
}

QM_RUNTIME_CALL cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned int flags) {
  return call("cudaEventCreateWithFlags", Needs::device, [&] { return createEvent(event, flags); });
}

QM_RUNTIME_CALL cudaError_t cudaEventCreate(cudaEvent_t* event) {
  return call("cudaEventCreate", Needs::device,
              [&] { return createEvent(event, cudaEventDefault); });
}

QM_RUNTIME_CALL cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream) {
  return call("cudaEventRecord", Needs::device, [&] {
    Handles& h = handles();
    std::lock_guard lock(h.mutex);
    Event* e = lookup(h.events, event);
    if (e == nullptr || !streamKnown(h, stream)) return cudaErrorInvalidResourceHandle;
    e->recorded = true;
    e->when = Clock::now();
    emu::detail::recordEvent(event, stream);
    return cudaSuccess;
  });
}

QM_RUNTIME_CALL cudaError_t cudaEventQuery(cudaEvent_t event) {
  return call("cudaEventQuery", Needs::device, [&] {
    Handles& h = handles();
    std::lock_guard lock(h.mutex);
    if (lookup(h.events, event) == nullptr) return cudaErrorInvalidResourceHandle;
    emu::detail::eventCompleted(event);
    return cudaSuccess;
  });
}

QM_RUNTIME_CALL cudaError_t cudaEventSynchronize(cudaEvent_t event) {
  return call("cudaEventSynchronize", Needs::device, [&] {
    {
      Handles& h = handles();
      std::lock_guard lock(h.mutex);
      if (lookup(h.events, event) == nullptr) return cudaErrorInvalidResourceHandle;
    }
    emu::detail::eventCompleted(event);
    return takePendingError(currentDevice());
  });
}

QM_RUNTIME_CALL cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end) {
  return call("cudaEventElapsedTime", Needs::device, [&] {
    if (ms == nullptr) return cudaErrorInvalidValue;
    Handles& h = handles();
    std::lock_guard lock(h.mutex);
    const Event* first = lookup(h.events, start);
    const Event* last = lookup(h.events, end);
    const auto timed = [](const Event* e) {
      return e != nullptr && e->recorded && (e->flags & cudaEventDisableTiming) == 0;
    };
    if (!timed(first) || !timed(last)) return cudaErrorInvalidResourceHandle;
    *ms = std::chrono::duration<float, std::milli>(last->when - first->when).count();
    return cudaSuccess;
  });
}

QM_RUNTIME_CALL cudaError_t cudaEventDestroy(cudaEvent_t event) {
  return call("cudaEventDestroy", Needs::device, [&] {
    Handles& h = handles();
    std::lock_guard lock(h.mutex);
    if (h.events.erase(reinterpret_cast<std::uintptr_t>(event)) == 0) return cudaErrorInvalidResourceHandle;
    emu::detail::forgetEvent(event);
    return cudaSuccess;
  });
}
