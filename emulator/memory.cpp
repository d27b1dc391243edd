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
  std::uint64_t serial;
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
    blocks_.emplace(address(memory), Allocation{size, device, ++serials_});
    bytes_ += size;
    *pointer = memory;
    return cudaSuccess;
  }

  // The allocation that starts at `pointer` is freed; `freed` tells which it was.
  cudaError_t release(void* pointer, emu::detail::AllocationView& freed) {
    if (pointer == nullptr) return cudaSuccess;
    std::lock_guard lock(mutex_);
    const auto it = blocks_.find(address(pointer));
    if (it == blocks_.end()) return cudaErrorInvalidValue;
    freed = view(*it);
    bytes_ -= it->second.size;
    blocks_.erase(it);
    std::free(pointer);
    return cudaSuccess;
  }

  bool find(const void* pointer, emu::detail::AllocationView& found) const {
    std::lock_guard lock(mutex_);
    const auto it = allocationAtOrBelow(address(pointer));
    if (it == blocks_.end() || address(pointer) - it->first >= it->second.size) return false;
    found = view(*it);
    return true;
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

  static emu::detail::AllocationView view(const Blocks::value_type& block) {
    return {block.first, block.second.size, block.second.device, block.second.serial};
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
  std::uint64_t serials_ = 0;
};

// The registries are never destroyed: an allocation that stays live to the end (a free that a
// test made fail, as on a GPU) is still registered when the process exits, not a lost block.
Registry& deviceMemory() {
  static Registry* const instance = new Registry;
  return *instance;
}

Registry& pinnedMemory() {
  static Registry* const instance = new Registry;
  return *instance;
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

// A range of either kind is classified by where it starts.
Side resolve(const void* pointer, Side side) {
  if (side != Side::either) return side;
  return deviceMemory().owns(pointer) ? Side::device : Side::host;
}

// A device range must lie inside one live allocation, a host range must stay clear of
// device memory.
bool validRange(const void* pointer, std::size_t size, Side side) {
  if (pointer == nullptr) return false;
  const Registry& device = deviceMemory();
  return side == Side::device ? device.contains(pointer, size) : !device.overlaps(pointer, size);
}

const char* direction(Side destination, Side source) {
  if (destination == Side::device) return source == Side::device ? "device to device" : "host to device";
  return source == Side::device ? "device to host" : "host to host";
}

// How a copy or fill was issued: on a stream, or by a call without a stream, which runs on the
// legacy default stream and returns once its work is done unless that work only reaches the
// device.
struct Issue {
  const char* call;
  cudaStream_t stream;
  bool blocking;
};

cudaError_t copy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind, const Issue& issue) {
  Side destination, source;
  if (!sidesOf(kind, destination, source)) return cudaErrorInvalidMemcpyDirection;
  if (count == 0) return cudaSuccess;
  destination = resolve(dst, destination);
  source = resolve(src, source);
  if (!validRange(dst, count, destination) || !validRange(src, count, source)) {
    return cudaErrorInvalidValue;
  }
  // A copy from pageable memory may return once the data is staged, and one between two device
  // buffers does not wait at all.
  const bool waits = issue.blocking && (destination == Side::host || pinnedMemory().owns(src));
  const emu::Touch touches[] = {{dst, emu::Access::write}, {src, emu::Access::read}};
  const cudaError_t order = emu::detail::orderOperation(issue.stream, {issue.call, direction(destination, source)},
                                                        touches, 2, waits);
  if (order != cudaSuccess) return order;
  std::memmove(dst, src, count);
  return cudaSuccess;
}

cudaError_t fill(void* pointer, int value, std::size_t count, const Issue& issue) {
  if (count == 0) return cudaSuccess;
  if (!validRange(pointer, count, Side::device)) return cudaErrorInvalidValue;
  const emu::Touch touch{pointer, emu::Access::write};
  const cudaError_t order = emu::detail::orderOperation(issue.stream, {issue.call}, &touch, 1, false);
  if (order != cudaSuccess) return order;
  std::memset(pointer, value, count);
  return cudaSuccess;
}

// `height` rows of `width` bytes, `pitch` bytes apart; the whole span must lie in one allocation.
cudaError_t fill2D(void* pointer, std::size_t pitch, int value, std::size_t width, std::size_t height,
                   const Issue& issue) {
  if (width == 0 || height == 0) return cudaSuccess;
  if (width > pitch) return cudaErrorInvalidPitchValue;
  const std::size_t span = (height - 1) * pitch + width;
  if (!validRange(pointer, span, Side::device)) return cudaErrorInvalidValue;
  const emu::Touch touch{pointer, emu::Access::write};
  const cudaError_t order = emu::detail::orderOperation(issue.stream, {issue.call}, &touch, 1, false);
  if (order != cudaSuccess) return order;
  auto* const rows = static_cast<unsigned char*>(pointer);
  for (std::size_t row = 0; row < height; ++row) std::memset(rows + row * pitch, value, width);
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

bool findAllocation(const void* pointer, AllocationView& view) { return deviceMemory().find(pointer, view); }

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
  return call("cudaFree", Needs::device, [&] {
    emu::detail::AllocationView freed{};
    const cudaError_t error = deviceMemory().release(devPtr, freed);
    if (error == cudaSuccess && devPtr != nullptr) emu::detail::forgetAllocation(freed);
    return error;
  });
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
  return call("cudaFreeHost", Needs::device, [&] {
    emu::detail::AllocationView freed{};
    return pinnedMemory().release(ptr, freed);
  });
}

QM_RUNTIME_CALL cudaError_t cudaMemcpy(void* dst, const void* src, size_t count,
                                       cudaMemcpyKind kind) {
  return call("cudaMemcpy", Needs::device, [&] {
    // A blocking copy waits for the device and so reports what went wrong there.
    const cudaError_t pending = emu::detail::takePendingError(currentDevice());
    return pending != cudaSuccess ? pending : copy(dst, src, count, kind, {"cudaMemcpy", nullptr, true});
  });
}

QM_RUNTIME_CALL cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count,
                                            cudaMemcpyKind kind, cudaStream_t stream) {
  return call("cudaMemcpyAsync", Needs::device, [&] {
    const cudaError_t valid = checkStream(stream);
    return valid != cudaSuccess ? valid : copy(dst, src, count, kind, {"cudaMemcpyAsync", stream, false});
  });
}

QM_RUNTIME_CALL cudaError_t cudaMemset(void* devPtr, int value, size_t count) {
  return call("cudaMemset", Needs::device, [&] { return fill(devPtr, value, count, {"cudaMemset", nullptr, false}); });
}

QM_RUNTIME_CALL cudaError_t cudaMemsetAsync(void* devPtr, int value, size_t count,
                                            cudaStream_t stream) {
  return call("cudaMemsetAsync", Needs::device, [&] {
    const cudaError_t valid = checkStream(stream);
    return valid != cudaSuccess ? valid : fill(devPtr, value, count, {"cudaMemsetAsync", stream, false});
  });
}

QM_RUNTIME_CALL cudaError_t cudaMemset2DAsync(void* devPtr, size_t pitch, int value, size_t width,
                                              size_t height, cudaStream_t stream) {
  return call("cudaMemset2DAsync", Needs::device, [&] {
    const cudaError_t valid = checkStream(stream);
    return valid != cudaSuccess ? valid
                                : fill2D(devPtr, pitch, value, width, height, {"cudaMemset2DAsync", stream, false});
  });
}
