#pragma once

#include "renderer/gl/gl.hpp"

namespace mirel {

// A compiled shader of the given type from the version line, the prelude and body. Throws
// "GLSL compile: <log>" and leaves nothing behind when it does not compile.
GLuint shader(GLenum type, const char* body);

// A linked program of the two shaders. Throws "GLSL compile: ..." or "GLSL link: <log>" and
// leaves nothing behind.
GLuint program(const char* vertex, const char* fragment);

}  // namespace mirel
