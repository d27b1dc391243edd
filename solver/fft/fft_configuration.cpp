#include "solver/fft/fft_configuration.hpp"

#include <cstring>
#include <stdexcept>

#include "solver/cuda/cuda_check.hpp"
#include "solver/cuda/cuda_driver.hpp"

namespace mirel {

// Twiddles that the kernels compute in single precision lose accuracy on large real transforms;
// from this size VkFFT reads them from a table it precomputes instead.
constexpr int lookupTableSize = 768;

std::uint64_t planBufferBytes(int n, int rowPitch, int batch) {
    return static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(rowPitch) * static_cast<std::uint64_t>(batch) *
           sizeof(float[2]);
}

VkFFTConfiguration planConfiguration(int n, bool realToComplex, int rowPitch, int cutoff, int batch,
                                     CUdevice* device, CUstream* stream, std::uint64_t* bufferBytes) {
    // Zeroed byte for byte, padding included, so that tests can check that no other field is set.
    VkFFTConfiguration configuration;
    std::memset(&configuration, 0, sizeof configuration);
    configuration.FFTdim = 2;
    configuration.size[0] = n;
    configuration.size[1] = n;
    configuration.device = device;
    configuration.stream = stream;
    configuration.num_streams = 1;
    configuration.bufferSize = bufferBytes;
    configuration.numberBatches = batch;
    configuration.performR2C = realToComplex ? 1 : 0;
    if (realToComplex && n >= lookupTableSize) configuration.useLUT = 1;
    configuration.bufferStride[0] = rowPitch;
    configuration.bufferStride[1] = static_cast<std::uint64_t>(rowPitch) * n;
    if (cutoff != 0) {
        for (int axis = 0; axis < 2; ++axis) {
            configuration.performZeropadding[axis] = 1;
            configuration.fft_zeropad_left[axis] = cutoff;
            // The band ends before this index.
            configuration.fft_zeropad_right[axis] = n - cutoff + 1;
        }
        configuration.frequencyZeroPadding = 1;
    }
    return configuration;
}

CUdevice currentDriverDevice() {
    int dev = 0;
    cudaCheck(cudaGetDevice(&dev), "cudaGetDevice(&dev)");
    CUdevice device = 0;
    if (cuDeviceGet(&device, dev) != CUDA_SUCCESS) throw std::runtime_error("Cannot select CUDA driver device.");
    return device;
}

}  // namespace mirel
