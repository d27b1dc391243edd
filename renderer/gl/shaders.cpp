#include "renderer/gl/shaders.hpp"

#include <stdexcept>
#include <string>
#include <vector>

#include "renderer/gl/glsl.hpp"

namespace mirel {
namespace {

constexpr GLsizei logBytes = 4096;

}  // namespace

GLuint shader(GLenum type, const char* body) {
    const GLuint id = glCreateShader(type);
    const char* const sources[] = {glsl::version, glsl::prelude, body};
    glShaderSource(id, 3, sources, nullptr);
    glCompileShader(id);
    GLint compiled = GL_FALSE;
    glGetShaderiv(id, GL_COMPILE_STATUS, &compiled);
    if (compiled == GL_FALSE) {
        std::vector<char> log(logBytes, '\0');
        glGetShaderInfoLog(id, logBytes - 1, nullptr, log.data());
        glDeleteShader(id);
        throw std::runtime_error(std::string("GLSL compile: ") + log.data());
    }
    return id;
}

GLuint program(const char* vertex, const char* fragment) {
    const GLuint vertexShader = shader(GL_VERTEX_SHADER, vertex);
    GLuint fragmentShader = 0;
    try {
        fragmentShader = shader(GL_FRAGMENT_SHADER, fragment);
    } catch (...) {
        glDeleteShader(vertexShader);
        throw;
    }
    const GLuint id = glCreateProgram();
    glAttachShader(id, vertexShader);
    glAttachShader(id, fragmentShader);
    glLinkProgram(id);
    // Flagged for deletion, the shaders go with the program.
    glDeleteShader(vertexShader);
    glDeleteShader(fragmentShader);
    GLint linked = GL_FALSE;
    glGetProgramiv(id, GL_LINK_STATUS, &linked);
    if (linked == GL_FALSE) {
        std::vector<char> log(logBytes, '\0');
        glGetProgramInfoLog(id, logBytes - 1, nullptr, log.data());
        glDeleteProgram(id);
        throw std::runtime_error(std::string("GLSL link: ") + log.data());
    }
    return id;
}

}  // namespace mirel
