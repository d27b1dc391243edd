#pragma once

#include <math.h>

#include "mirel/solver.hpp"
#include "solver/cuda/kernel_records.hpp"
#include "solver/cuda/platform.hpp"

// Per-mode arithmetic of the native integrators, single precision with every operation
// rounded and divisions correctly rounded.
namespace mirel::integrator {

// Stages of one step of the native integrator `method`: four for etdrk4, three for the others.
__host__ __device__ inline unsigned stageCount(unsigned method) { return method == etdrk4 ? 4u : 3u; }

struct Phi {
    float phi1;
    float phi2;
    float phi3;
};

// phi1(x) = (e^x - 1)/x, phi2 = (phi1 - 1)/x, phi3 = (phi2 - 1/2)/x: closed forms for |x| > 1
// (and NaN), else 17-term Taylor series summed from the first term up.
__host__ __device__ inline Phi phi(float x) {
    if (!(fabsf(x) <= 1.0f)) {
        const float phi1 = (expf(x) - 1.0f) / x;
        const float phi2 = (phi1 - 1.0f) / x;
        return {phi1, phi2, (phi2 - 0.5f) / x};
    }
    float term1 = 1.0f, term2 = 0.5f, term3 = 1.0f / 6.0f;
    Phi sum{term1, term2, term3};
    for (int k = 1; k <= 16; ++k) {
        term1 = term1 * (x / static_cast<float>(k + 1));
        term2 = term2 * (x / static_cast<float>(k + 2));
        term3 = term3 * (x / static_cast<float>(k + 3));
        sum.phi1 = sum.phi1 + term1;
        sum.phi2 = sum.phi2 + term2;
        sum.phi3 = sum.phi3 + term3;
    }
    return sum;
}

__host__ __device__ inline V2 operator+(V2 a, V2 b) { return {a.x + b.x, a.y + b.y}; }
__host__ __device__ inline V2 operator-(V2 a, V2 b) { return {a.x - b.x, a.y - b.y}; }
__host__ __device__ inline V2 operator*(float s, V2 a) { return {s * a.x, s * a.y}; }
__host__ __device__ inline V2 operator*(V2 a, float s) { return {a.x * s, a.y * s}; }
__host__ __device__ inline V2 operator/(V2 a, float s) { return {a.x / s, a.y / s}; }

// Compensated update w := base + delta, carrying the rounding error in compensation.
__host__ __device__ inline V2 kahan(V2 base, V2 delta, V2& compensation) {
    const V2 r = delta - compensation;
    const V2 t = base + r;
    compensation = (t - base) - r;
    return t;
}

}  // namespace mirel::integrator
