#pragma once

#include <cstdint>

#include "solver/cuda/platform.hpp"

namespace mirel {

// A complex sample as the kernels see it; the same layout as mirel::Complex.
struct V2 {
    float x;
    float y;
};

// The device clock; copied byte for byte to the host, so both sides share this layout.
struct ClockState {
    float timeHi;  // simulated time = timeHi + timeLo
    float timeLo;
    float dt;        // step of the current step, after clipping to the end time
    float dtMemory;  // last unclipped step; 0 before the first step
    std::uint64_t steps;
    float maxSpeed;        // max(|u| + |v|) at the current step's first stage
    std::uint32_t valid;   // 1 while every field and step is finite; kernels only clear it
    std::uint32_t status;  // 0 no step, 1 an ordinary step, 2 the step that lands on the end time
};

// What every solver kernel receives by value.
struct Params {
    std::uint32_t resolution;
    std::uint32_t paddedResolution;
    std::uint32_t method;
    std::uint32_t stage;
    float viscosity;
    float cfl;
    float fixedDt;
    float scale;
    float targetHi;
    float targetLo;
    std::uint32_t hasTarget;
    std::uint32_t blocks;
    std::uint32_t form;
    std::uint32_t planes;  // frame planes a snapshot fills: 1 (vorticity) or 3 (with velocity)
};

}  // namespace mirel
