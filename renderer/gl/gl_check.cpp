#include <stdexcept>
#include <string>

#include "renderer/gl/gl.hpp"

namespace mirel {

void glCheck(const char* step) {
    const GLenum error = glGetError();
    if (error != GL_NO_ERROR) throw std::runtime_error(std::string(step) + ": OpenGL error " + std::to_string(error));
}

}  // namespace mirel
