#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "common/device_limits.hpp"
#include "quellmar_emulator/control.hpp"
#include "runtime.hpp"

namespace {

struct Allocation {
  std::size_t size;
  int device;
};

// Live allocations by start address, so that any address can be traced to the allocation
// it lies in and every copy and memset can be checked against it.
class Registry {
 public:
  cudaError_t allocate(void** pointer, std::size_t size, int device, std::size_t limit,
                       bool poison) {
    if (pointer == nullptr) return cudaErrorInvalidValue;
    if (size == 0) {
      *pointer = nullptr;
      return cudaSuccess;
    }
    std::lock_guard lock(mutex_);
    if (size > limit - bytesOn(device)) return cudaErrorMemoryAllocation;
    const std::size_t rounded = (size + emu::limits::kAllocationAlignment - 1) /
                                emu::limits::kAllocationAlignment *
                                emu::limits::kAllocationAlignment;
    void* memory = std::aligned_alloc(emu::limits::kAllocationAlignment, rounded);
    if (memory == nullptr) return cudaErrorMemoryAllocation;
    // Device memory starts out as all-ones bytes (NaN as float), so that reading memory
    // nothing wrote shows in the results instead of passing as zero.
    if (poison) std::memset(memory, 0xff, rounded);
    blocks_.emplace(address(memory), Allocation{size, device});
    bytes_ += size;
    *pointer = memory;
    return cudaSuccess;
  }

  cudaError_t release(void* pointer) {
    if (pointer == nullptr) return cudaSuccess;
    std::lock_guard lock(mutex_);
    const auto it = blocks_.find(address(pointer));
    if (it == blocks_.end()) return cudaErrorInvalidValue;
    bytes_ -= it->second.size;
    blocks_.erase(it);
    std::free(pointer);
    return cudaSuccess;
  }

  void releaseDevice(int device) {
    std::lock_guard lock(mutex_);
    for (auto it = blocks_.begin(); it != blocks_.end();) {
      if (it->second.device == device) {
        bytes_ -= it->second.size;
        std::free(reinterpret_cast<void*>(it->first));
        it = blocks_.erase(it);
      } else {
        ++it;
      }
    }
  }

  // Whether [pointer, pointer + size) lies inside one live allocation.
  bool contains(const void* pointer, std::size_t size) const {
    std::lock_guard lock(mutex_);
    const auto it = allocationAtOrBelow(address(pointer));
    return it != blocks_.end() && address(pointer) - it->first <= it->second.size &&
           size <= it->first + it->second.size - address(pointer);
  }

  // Whether `pointer` lies inside some live allocation.
  bool owns(const void* pointer) const { return contains(pointer, 1); }

  // Whether [pointer, pointer + size) shares a byte with any live allocation.
  bool overlaps(const void* pointer, std::size_t size) const {
    std::lock_guard lock(mutex_);
    const std::uintptr_t start = address(pointer);
    const auto it = allocationAtOrBelow(start + size - 1);
    return it != blocks_.end() && it->first + it->second.size > start;
  }

  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return blocks_.size();
  }

  std::size_t bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
  }

  std::size_t bytesOnDevice(int device) const {
    std::lock_guard lock(mutex_);
    return bytesOn(device);
  }

 private:
  using Blocks = std::map<std::uintptr_t, Allocation>;

  static std::uintptr_t address(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
  }

  Blocks::const_iterator allocationAtOrBelow(std::uintptr_t where) const {
    auto it = blocks_.upper_bound(where);
    return it == blocks_.begin() ? blocks_.end() : std::prev(it);
  }

  std::size_t bytesOn(int device) const {
    std::size_t total = 0;
    for (const auto& [start, block] : blocks_) {
      if (block.device == device) total += block.size;
    }
    return total;
  }

  mutable std::mutex mutex_;
  Blocks blocks_;
  std::size_t bytes_ = 0;
};

Registry& deviceMemory() {
  static Registry instance;
  return instance;
}

Registry& pinnedMemory() {
  static Registry instance;
  return instance;
}

enum class Side { host,
                  device,
                  either };

// The sides a copy direction names, destination first.
bool sidesOf(cudaMemcpyKind kind, Side& destination, Side& source) {
  switch (kind) {
    case cudaMemcpyHostToHost: destination = source = Side::host; return true;
    case cudaMemcpyHostToDevice:
      destination = Side::device;
      source = Side::host;
      return true;
    case cudaMemcpyDeviceToHost:
      destination = Side::host;
      source = Side::device;
      return true;
    case cudaMemcpyDeviceToDevice: destination = source = Side::device; return true;
    case cudaMemcpyDefault: destination = source = Side::either; return true;
  }
  return false;
}

// A device range must lie inside one live allocation, a host range must stay clear of
// device memory; a range of either kind is classified by where it starts.
bool validRange(const void* pointer, std::size_t size, Side side) {
  if (pointer == nullptr) return false;
  const Registry& device = deviceMemory();
  if (side == Side::either) side = device.owns(pointer) ? Side::device : Side::host;
  return side == Side::device ? device.contains(pointer, size) : !device.overlaps(pointer, size);
}

cudaError_t copy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind) {
  Side destination, source;
  if (!sidesOf(kind, destination, source)) return cudaErrorInvalidMemcpyDirection;
  if (count == 0) return cudaSuccess;
  if (!validRange(dst, count, destination) || !validRange(src, count, source)) {
    return cudaErrorInvalidValue;
  }
  std::memmove(dst, src, count);
  return cudaSuccess;
}

cudaError_t fill(void* pointer, int value, std::size_t count) {
  if (count == 0) return cudaSuccess;
  if (!validRange(pointer, count, Side::device)) return cudaErrorInvalidValue;
  std::memset(pointer, value, count);
  return cudaSuccess;
}

cudaError_t checkStream(cudaStream_t stream) {
  return emu::detail::streamValid(stream) ? cudaSuccess : cudaErrorInvalidResourceHandle;
}

constexpr unsigned kHostAllocFlags = cudaHostAllocPortable | cudaHostAllocMapped |
                                     cudaHostAllocWriteCombined;

}  // namespace

namespace emu {

std::size_t liveAllocations() { return deviceMemory().count(); }
std::size_t liveBytes() { return deviceMemory().bytes(); }
std::size_t livePinnedAllocations() { return pinnedMemory().count(); }
std::size_t livePinnedBytes() { return pinnedMemory().bytes(); }

}  // namespace emu

namespace emu::detail {

std::size_t liveBytesOn(int device) { return deviceMemory().bytesOnDevice(device); }

void releaseMemory(int device) {
  deviceMemory().releaseDevice(device);
  pinnedMemory().releaseDevice(device);
}

}  // namespace emu::detail

using emu::detail::call;
using emu::detail::currentDevice;
using emu::detail::Needs;

QM_RUNTIME_CALL cudaError_t cudaMalloc(void** devPtr, size_t size) {
  return call("cudaMalloc", Needs::device, [&] {
    return deviceMemory().allocate(devPtr, size, currentDevice(), emu::limits::kTotalGlobalMem,
                                   true);
  });
}

QM_RUNTIME_CALL cudaError_t cudaFree(void* devPtr) {
  return call("cudaFree", Needs::device, [&] { return deviceMemory().release(devPtr); });
}

QM_RUNTIME_CALL cudaError_t cudaHostAlloc(void** pHost, size_t size, unsigned int flags) {
  return call("cudaHostAlloc", Needs::device, [&] {
    if ((flags & ~kHostAllocFlags) != 0) return cudaErrorInvalidValue;
    return pinnedMemory().allocate(pHost, size, currentDevice(), SIZE_MAX, false);
  });
}

QM_RUNTIME_CALL cudaError_t cudaMallocHost(void** ptr, size_t size) {
  return call("cudaMallocHost", Needs::device, [&] {
    return pinnedMemory().allocate(ptr, size, currentDevice(), SIZE_MAX, false);
  });
}

QM_RUNTIME_CALL cudaError_t cudaFreeHost(void* ptr) {
  return call("cudaFreeHost", Needs::device, [&] { return pinnedMemory().release(ptr); });
}

QM_RUNTIME_CALL cudaError_t cudaMemcpy(void* dst, const void* src, size_t count,
                                       cudaMemcpyKind kind) {
  return call("cudaMemcpy", Needs::device, [&] {
    // A blocking copy waits for the device and so reports what went wrong there.
    const cudaError_t pending = emu::detail::takePendingError(currentDevice());
    return pending != cudaSuccess ? pending : copy(dst, src, count, kind);
  });
}

QM_RUNTIME_CALL cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count,
                                            cudaMemcpyKind kind, cudaStream_t stream) {
  return call("cudaMemcpyAsync", Needs::device, [&] {
    const cudaError_t valid = checkStream(stream);
    return valid != cudaSuccess ? valid : copy(dst, src, count, kind);
  });
}

QM_RUNTIME_CALL cudaError_t cudaMemset(void* devPtr, int value, size_t count) {
  return call("cudaMemset", Needs::device, [&] { return fill(devPtr, value, count); });
}

QM_RUNTIME_CALL cudaError_t cudaMemsetAsync(void* devPtr, int value, size_t count,
                                            cudaStream_t stream) {
  return call("cudaMemsetAsync", Needs::device, [&] {
    const cudaError_t valid = checkStream(stream);
    return valid != cudaSuccess ? valid : fill(devPtr, value, count);
  });
}
