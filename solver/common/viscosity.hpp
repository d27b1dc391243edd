#pragma once

#include <cmath>
#include <limits>

// Which Reynolds numbers give a viscosity that the kernels can use. The two solvers round
// differently, so each has its own rule.
namespace mirel {

// The native solver's viscosity is 1/Re formed in double and rounded to single precision. An
// infinite Re passes: its viscosity is 0.
inline bool nativeViscosityValid(double reynolds) {
    return reynolds > 0.0 && std::isfinite(static_cast<float>(1.0 / reynolds));
}

// The CNAB2 solver rounds Re to single precision first and forms 1.0f/Re there.
inline bool cnab2ViscosityValid(double reynolds) {
    const float r = static_cast<float>(reynolds);
    return reynolds > 0.0 && std::fabs(r) <= std::numeric_limits<float>::max() && 1.0f / r > 0.0f;
}

}  // namespace mirel
