#pragma once

// What the tests expect of the drawn canvas wherever they look at it, written out here once and
// never taken from the renderer: the colour of a cleared canvas and where the overlay's control
// buttons are hit.
namespace test {

struct RGB8 {
    int r, g, b;
};

// The clear colour (0.035, 0.047, 0.075) in eight bits.
constexpr RGB8 background{9, 12, 19};

// The middle of control button 1, 2 or 3 in logical points: from the canvas's left edge (the
// buttons are 38 wide, the first from 14), and above its bottom edge.
constexpr int buttonMiddleX(int button) { return 14 + 38 * (button - 1) + 19; }
constexpr int buttonMiddleAboveBottom = 30;

}  // namespace test
