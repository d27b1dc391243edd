#pragma once

// The GLSL text of the two programs. Every shader is compiled from the version line, the common
// prelude and its own body, in that order.

namespace mirel::glsl {

extern const char* const version;
// The uniforms of both programs, periodic bilinear sampling of the shared field and the palettes.
extern const char* const prelude;

// One triangle covering the viewport, uv from 0 at the lower left to 1 at the upper right.
extern const char* const fullScreenVertex;
// Vorticity, speed or enstrophy in the chosen palette, with optionally rounded lower corners.
extern const char* const fieldFragment;

// 1024 seeds of 18 segments each, traced through the velocity planes.
extern const char* const streamlineVertex;
extern const char* const streamlineFragment;

}  // namespace mirel::glsl
