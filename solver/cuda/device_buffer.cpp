#include "solver/cuda/device_buffer.hpp"

#include <utility>

#include "solver/cuda/cuda_check.hpp"

namespace mirel {

void* deviceAllocate(std::uint64_t bytes, const char* call) {
    void* ptr = nullptr;
    cudaCheck(cudaMalloc(&ptr, bytes), call);
    return ptr;
}

DeviceBuffer::DeviceBuffer(std::uint64_t size, const char* call) : ptr(deviceAllocate(size, call)), bytes(size) {}

DeviceBuffer::DeviceBuffer(DeviceBuffer&& other) noexcept
    : ptr(std::exchange(other.ptr, nullptr)), bytes(std::exchange(other.bytes, 0)) {}

DeviceBuffer& DeviceBuffer::operator=(DeviceBuffer&& other) noexcept {
    if (this != &other) {
        if (ptr != nullptr) cudaIgnore(cudaFree(ptr));
        ptr = std::exchange(other.ptr, nullptr);
        bytes = std::exchange(other.bytes, 0);
    }
    return *this;
}

DeviceBuffer::~DeviceBuffer() {
    if (ptr != nullptr) cudaIgnore(cudaFree(ptr));
}

}  // namespace mirel
