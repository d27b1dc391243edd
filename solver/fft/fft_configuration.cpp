#include "solver/fft/fft_configuration.hpp"

#include <stdexcept>

#include "solver/cuda/cuda_check.hpp"
#include "solver/cuda/cuda_driver.hpp"

namespace mirel {

std::uint64_t planBufferBytes(int n, int rowPitch, int batch) {
    return static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(rowPitch) * static_cast<std::uint64_t>(batch) *
           sizeof(float[2]);
}

CUdevice currentDriverDevice() {
    int dev = 0;
    cudaCheck(cudaGetDevice(&dev), "cudaGetDevice(&dev)");
    CUdevice device = 0;
    if (cuDeviceGet(&device, dev) != CUDA_SUCCESS) throw std::runtime_error("Cannot select CUDA driver device.");
    return device;
}

}  // namespace mirel
