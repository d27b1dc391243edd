#pragma once

// What both builds of mirel::FFT share: the VkFFT record of a plan, which host tests inspect in
// either build, and the device that plans run on.

#include <cstdint>

// The platform comes first, so that the emulator's kernel language is in place before VkFFT
// pulls in the toolkit's runtime header.
#include "solver/cuda/platform.hpp"

// GCC's flow analysis reports variables of VkFFT's code generator as maybe uninitialised. The
// warnings concern VkFFT's code, not ours, and would reach everyone who builds the library.
// Clang has no such warning and would warn of the unknown name instead.
#pragma GCC diagnostic push
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <vkFFT.h>
#pragma GCC diagnostic pop

namespace mirel {

// Bytes of `batch` consecutive n x n fields with rows rowPitch complex elements apart.
std::uint64_t planBufferBytes(int n, int rowPitch, int batch);

// The record VkFFT builds the plan for `batch` fields from: in place, rows rowPitch complex
// elements apart, the zero band from `cutoff` on both axes when cutoff ≠ 0, every other field
// zero. VkFFT keeps the three addresses for the life of the plan.
VkFFTConfiguration planConfiguration(int n, bool realToComplex, int rowPitch, int cutoff, int batch,
                                     CUdevice* device, CUstream* stream, std::uint64_t* bufferBytes);

// The driver handle of the runtime's current device.
CUdevice currentDriverDevice();

class FFT;

// The VkFFT records behind the plans that a mirel::FFT of the cuda build has cached, for tests;
// only that build defines them.
struct CachedPlans {
    // The application of the cached plan for `batch`; null when that batch has none.
    static const VkFFTApplication* application(const FFT& fft, int batch);
};

}  // namespace mirel
