#pragma once

// Where the overlay's controls sit, in logical points from the window's top-left corner with y
// downwards; shared by the drawing and by the click test.

#include <cmath>

#include "renderer/renderer.hpp"

namespace mirel::layout {

inline constexpr double barLeft = 14.0;
inline constexpr double barRight = 128.0;
inline constexpr double buttonWidth = 38.0;
inline double barTop(double windowHeight) { return windowHeight - 49.0; }
inline double barBottom(double windowHeight) { return windowHeight - 14.0; }

// The button under a point, in the bar's order from the left: play/pause, single step, reset.
inline OverlayButton buttonAt(double x, double y, double windowHeight) {
    if (x < barLeft || x >= barRight || y < barTop(windowHeight) || y > barBottom(windowHeight))
        return OverlayButton::none;
    return static_cast<OverlayButton>(static_cast<int>(std::floor((x - barLeft) / buttonWidth)) + 1);
}

}  // namespace mirel::layout
