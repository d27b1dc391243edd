#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace mirel {

// Whether the time has reached the end time until, within a few units of its last place.
inline bool reached(double time, double until) {
    return time >= until - std::max(std::fabs(until), DBL_MIN) * 32.0 * DBL_EPSILON;
}

}  // namespace mirel
