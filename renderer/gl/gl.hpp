#pragma once

// OpenGL and GLX as the renderer uses them: the entry points of OpenGL 3.3 are linked from the
// system's GL library (GL_GLEXT_PROTOTYPES is set for the whole module).

#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glx.h>

// Xlib names a polygon shape Complex, as a macro that would rename mirel::Complex; the renderer
// draws no X polygons.
#undef Complex

namespace mirel {

// Throws std::runtime_error "<step>: OpenGL error <code>" when OpenGL has an error pending. Only the
// first pending error is read; any queued behind it stay.
void glCheck(const char* step);

}  // namespace mirel
