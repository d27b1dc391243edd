#pragma once

#include <cstdint>

namespace mirel {

// What one time step of a native integrator moves through device memory, counting for each
// kernel the bytes it reads (before writing them) and the bytes it writes, each once, as a
// kernel that streams its data from memory moves them. The transforms are counted as the
// padded grid's plans run them: one kernel per axis, in place, the zero band neither read on
// the inverse nor written on the forward side.
struct StepTraffic {
    std::uint64_t kernelBytes;  // the solver's own kernels
    std::uint64_t fftBytes;     // the padded transforms
    unsigned kernels;           // the solver's launches per step
    unsigned transforms;        // padded transforms per step (two kernels each)
};

// For resolution n, integrator `method` (imexRK3, ifHeunRK3 or etdrk4) and `form`.
StepTraffic stepTraffic(int n, std::uint32_t method, std::uint32_t form);

}  // namespace mirel
