#pragma once

#include <cstdint>

namespace mirel {

// The call text of a failed allocation, unless its owner names its own.
inline constexpr const char* mallocCall = "cudaMalloc(&ptr,bytes)";

// Device memory from cudaMalloc; throws "<call>: <CUDA error>".
void* deviceAllocate(std::uint64_t bytes, const char* call = mallocCall);

// Move-only owner of one device allocation.
struct DeviceBuffer {
    void* ptr = nullptr;
    std::uint64_t bytes = 0;

    DeviceBuffer() = default;
    explicit DeviceBuffer(std::uint64_t size, const char* call = mallocCall);
    DeviceBuffer(DeviceBuffer&& other) noexcept;
    DeviceBuffer& operator=(DeviceBuffer&& other) noexcept;
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    ~DeviceBuffer();

    template <typename T>
    T* as() const {
        return static_cast<T*>(ptr);
    }
};

}  // namespace mirel
