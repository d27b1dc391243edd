#pragma once

#include <nlohmann/json.hpp>

#include "renderer/renderer.hpp"

namespace mirel {

// The request names of the kinds of Display, in the order of their values.
inline constexpr const char* fieldNames[] = {"vorticity", "speed", "enstrophy"};
inline constexpr const char* paletteNames[] = {"aurora", "ember", "glacier", "inferno"};
inline constexpr const char* rangeNames[] = {"sigma", "exposure"};

// base overlaid with the request's display keys ("display", "palette", "color_range",
// "exposure", "sigma", "flow"), read in that order, so that the first bad key names the failure.
Display displaySettings(const nlohmann::json& request, Display base);

}  // namespace mirel
