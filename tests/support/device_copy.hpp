#pragma once

// Test access to device memory as the product moves data: on the stream that uses the memory,
// then synchronised. A cudaMemcpy from pageable memory may return before the data has reached
// the device, and a non-blocking stream does not wait for the legacy default stream.
#include <cstddef>
#include <vector>

#include "solver/cuda/cuda_check.hpp"

namespace test {

template <typename T>
void upload(cudaStream_t stream, void* device, const std::vector<T>& values) {
    cudaCheck(cudaMemcpyAsync(device, values.data(), values.size() * sizeof(T), cudaMemcpyHostToDevice, stream),
              "cudaMemcpyAsync(device,values.data(),bytes,cudaMemcpyHostToDevice,stream)");
    cudaCheck(cudaStreamSynchronize(stream), "cudaStreamSynchronize(stream)");
}

template <typename T>
std::vector<T> download(cudaStream_t stream, const void* device, std::size_t count) {
    std::vector<T> values(count);
    cudaCheck(cudaMemcpyAsync(values.data(), device, count * sizeof(T), cudaMemcpyDeviceToHost, stream),
              "cudaMemcpyAsync(values.data(),device,bytes,cudaMemcpyDeviceToHost,stream)");
    cudaCheck(cudaStreamSynchronize(stream), "cudaStreamSynchronize(stream)");
    return values;
}

}  // namespace test
