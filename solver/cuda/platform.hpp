#pragma once

// The one place that decides which CUDA platform the sources see: the toolkit's runtime
// (compiled by nvcc) or the CPU emulator (compiled by the host compiler).
#if defined(QUELLMAR_EMULATOR)
#include <quellmar_emulator/kernel.hpp>
#else
#include <cuda_runtime.h>
#endif
