#pragma once

#include <math.h>

#include "solver/cuda/platform.hpp"

namespace mirel {

// NaN fails the comparison and infinity exceeds the largest float.
__host__ __device__ inline bool finite(float x) { return fabsf(x) <= 3.4028235e38f; }

}  // namespace mirel
