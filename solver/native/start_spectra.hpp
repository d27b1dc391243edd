#pragma once

#include <vector>

#include "mirel/solver.hpp"

namespace mirel {

// The generated initial half spectrum of a native solver ("PAO" or "KM3"): N rows of N/2 + 1
// modes, N^2 times the Fourier coefficients of the vorticity. A pure function of the
// resolution, k0, seed and start spectrum.
std::vector<Complex> nativeSpectrum(const Config& config);

}  // namespace mirel
