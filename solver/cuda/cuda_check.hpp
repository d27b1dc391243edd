#pragma once

#include "mirel/export.hpp"
#include "solver/cuda/platform.hpp"

// Throws std::runtime_error "<call>: <CUDA error string>" unless error is cudaSuccess, and
// clears the runtime's pending error, which that exception reports.
QM_EXPORT void cudaCheck(cudaError error, const char* call);
