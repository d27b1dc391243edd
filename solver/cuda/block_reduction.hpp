#pragma once

#include "solver/cuda/platform.hpp"
#include "solver/cuda/reduction_shape.hpp"

namespace mirel {

// Folds the values that the threads of a block left in their shared slots into slot 0:
// fold(into, from) combines slot `from` into slot `into`. The strides halve from
// reductionThreads / 2 to 1, so slots are always combined in the same order and a result is
// the same bit for bit on every run and in both builds.
template <typename Fold>
__device__ inline void foldBlock(Fold fold) {
    __syncthreads();
    for (unsigned stride = reductionThreads / 2; stride >= 1; stride /= 2) {
        if (threadIdx.x < stride) fold(threadIdx.x, threadIdx.x + stride);
        __syncthreads();
    }
}

}  // namespace mirel
