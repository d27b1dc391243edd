#pragma once

#include "renderer/gl/gl.hpp"

namespace mirel {

inline constexpr int fontGlyphs = 128;

// The first of 128 display lists drawing the glyphs of the X core font "fixed" for the codes
// 0 ... 127 at the raster position, or 0 when the server has no such font.
GLuint fixedFontLists(::Display* connection);
// Deletes the lists that fixedFontLists made; nothing for 0.
void deleteFontLists(GLuint base);

}  // namespace mirel
