#include "renderer/gl/shaders.hpp"

#include <stdexcept>
#include <string>
#include <vector>

#include "renderer/gl/glsl.hpp"

namespace mirel {
namespace {

constexpr GLsizei logBytes = 4096;

using InfoLog = void (*)(GLuint, GLsizei, GLsizei*, GLchar*);
using Delete = void (*)(GLuint);

// Throws what + the object's info log, after deleting it, unless status says it succeeded.
void require(GLint status, GLuint id, InfoLog infoLog, Delete remove, const char* what) {
    if (status != GL_FALSE) return;
    std::vector<char> log(logBytes, '\0');
    infoLog(id, logBytes - 1, nullptr, log.data());
    remove(id);
    throw std::runtime_error(std::string(what) + log.data());
}

}  // namespace

GLuint shader(GLenum type, const char* body) {
    const GLuint id = glCreateShader(type);
    const char* const sources[] = {glsl::version, glsl::prelude, body};
    glShaderSource(id, 3, sources, nullptr);
    glCompileShader(id);
    GLint compiled = GL_FALSE;
    glGetShaderiv(id, GL_COMPILE_STATUS, &compiled);
    require(compiled, id, glGetShaderInfoLog, glDeleteShader, "GLSL compile: ");
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
    require(linked, id, glGetProgramInfoLog, glDeleteProgram, "GLSL link: ");
    return id;
}

}  // namespace mirel
