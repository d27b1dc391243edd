#pragma once

#include "mirel/export.hpp"
#include "solver/cuda/platform.hpp"

// Throws std::runtime_error "<call>: <CUDA error string>" unless error is cudaSuccess, and
// clears the runtime's pending error, which that exception reports.
//
// The call texts passed here are stable message texts that callers and hosts see and match
// on. They do not always spell the call beside them as it stands in the source (a variable
// renamed, a helper introduced): keep them exactly as they are.
QM_EXPORT void cudaCheck(cudaError error, const char* call);

// For the calls whose result is ignored (releases, the synchronisation before them): a failure
// is cleared from the runtime's pending error, so that the next launch check does not report it
// as a failed launch of its own operation.
QM_EXPORT void cudaIgnore(cudaError error);
