#pragma once

// What both builds of mirel::FFT share: the VkFFT record of a plan, which host tests inspect in
// either build, and the device that plans run on.

#include <cstdint>

// The platform comes first, so that the emulator's kernel language is in place before VkFFT
// pulls in the toolkit's runtime header.
#include "solver/cuda/platform.hpp"
#include "solver/fft/vkfft_plan.hpp"

namespace mirel {

// Bytes of `batch` consecutive n x n fields with rows rowPitch complex elements apart.
std::uint64_t planBufferBytes(int n, int rowPitch, int batch);

// The driver handle of the runtime's current device.
CUdevice currentDriverDevice();

class FFT;

// The VkFFT records behind the plans that a mirel::FFT of the cuda build has cached, for tests;
// only that build defines them.
struct CachedPlans {
    // The application of the cached plan for `batch`; null when that batch has none.
    static const VkFFTApplication* application(const FFT& fft, int batch);
    // How the cached plan for `batch` departs from the plain configuration, and so why.
    static vkfft::Remedy remedy(const FFT& fft, int batch);
};

}  // namespace mirel
