#pragma once

#include "solver/cuda/platform.hpp"

// The device clock's arithmetic, single precision with every operation rounded: the float-pair
// time and the time-step rule.
namespace mirel::clock {

// Adds d to the time hi + lo by an error-free sum, so the pair keeps the rounding error of hi.
__host__ __device__ inline void absorb(float& hi, float& lo, float d) {
    const float s = hi + d;
    const float b = s - hi;
    const float e = (d - b) + (hi - (s - b));
    const float t = lo + e;
    hi = s + t;
    lo = t - (hi - s);
}

// The time left from hi + lo to the end time targetHi + targetLo.
__host__ __device__ inline float remaining(float targetHi, float targetLo, float hi, float lo) {
    return (targetHi - hi) + (targetLo - lo);
}

// The step of the next time step before clipping to an end time: the fixed step, or CFL/pi grid
// spacings over max(|u| + |v|) (without motion the last step, 1 before the first), which may
// shrink at once but grows by at most a fifth of the difference to the last step.
__host__ __device__ inline float proposedStep(float fixedDt, float cfl, float maxSpeed, float dtMemory, unsigned n) {
    if (fixedDt > 0.0f) return fixedDt;
    float dt = dtMemory > 0.0f ? dtMemory : 1.0f;
    if (maxSpeed > 0.0f) dt = (cfl + cfl) / (maxSpeed * static_cast<float>(n));
    if (dtMemory > 0.0f) {
        const float limited = (0.2f * dt) + (0.8f * dtMemory);
        if (limited < dt) dt = limited;
    }
    return dt;
}

}  // namespace mirel::clock
