#pragma once

#include <cstdint>

namespace mirel {

// Device memory from cudaMalloc; throws "<call>: <CUDA error>".
void* deviceAllocate(std::uint64_t bytes, const char* call = "cudaMalloc(&ptr,bytes)");

// Move-only owner of one device allocation.
struct DeviceBuffer {
    void* ptr = nullptr;
    std::uint64_t bytes = 0;

    DeviceBuffer() = default;
    explicit DeviceBuffer(std::uint64_t size);
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
