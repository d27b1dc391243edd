#pragma once

#include <cstdint>
#include <vector>

#include "mirel/solver.hpp"
#include "solver/cuda/platform.hpp"

// The CNAB2 solver's configuration and seeded start field. Its half spectrum has N rows of N/2
// columns (kx = 0 .. N/2 - 1); row r holds ky = r below N/2 and r - N from there, so row N/2 is
// ky = -N/2. Values are Fourier-series coefficients, and the vorticity is
// omega = i (ky u - kx v), the negative of the native solver's.
namespace mirel::legacy {

struct Config {
    std::int32_t N = 0;
    std::int32_t steps = 0;
    std::int32_t update = 0;
    std::int32_t seed = 0;
    double Re = 0.0;
    double K0 = 0.0;
    double CFL = 0.0;
    float dt = 0.0f;
    std::uint32_t startSpectrum = 0;

    // Throws std::invalid_argument on the first rule that fails.
    void validate() const;
};

struct InitialField {
    std::vector<Complex> velocity;  // u, then v: two planes of N x N/2
    std::vector<Complex> omega;
    double meanSquareVelocity = 0.0;
    double meanSquareVorticity = 0.0;
    float viscosity = 0.0f;
    std::int32_t lcgState = 0;
};

// The signed wavenumber of index i on an axis of n points.
__host__ __device__ inline int wave(int i, int n) { return i < n / 2 ? i : i - n; }

// Validates config and builds its start field: a Gaussian spectrum around K0 with phases from a
// shuffled linear congruential generator, rebuilt towards the k^-3 shell target for start
// spectrum 1.
InitialField initialize(const Config& config);

}  // namespace mirel::legacy
