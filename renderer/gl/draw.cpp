#include <algorithm>

#include "renderer/gl/gl_renderer.hpp"

namespace mirel {
namespace {

constexpr GLsizei streamlineVertices = 1024 * 18 * 2;

GLint location(GLuint program, const char* name) { return glGetUniformLocation(program, name); }

// The uniforms that the field and the flow-line programs share.
void setFieldUniforms(GLuint program, const Frame& frame, const Display& display) {
    const bool sigmaRange = display.field == Field::vorticity && display.colorRange == ColorRange::sigma;
    const float vorticityScale =
        sigmaRange ? std::max(1e-12f, display.sigma * frame.std_vorticity) : std::max(1e-4f, frame.max_vorticity);
    glUniform1i(location(program, "field"), 0);
    glUniform1i(location(program, "gridSize"), frame.grid_size);
    glUniform1i(location(program, "palette"), static_cast<GLint>(display.palette));
    glUniform1i(location(program, "display"), static_cast<GLint>(display.field));
    glUniform1i(location(program, "vorticityColorRange"), static_cast<GLint>(display.colorRange));
    glUniform1f(location(program, "exposure"), display.exposure);
    glUniform1f(location(program, "vorticityMean"), frame.mean_vorticity);
    glUniform1f(location(program, "vorticityScale"), vorticityScale);
    glUniform1f(location(program, "speedScale"), std::max(1e-4f, frame.max_speed));
}

}  // namespace

void Renderer::draw(const Frame& frame, const Display& display, int size, float rounded) {
    glViewport(0, 0, size, size);
    glDisable(GL_FRAMEBUFFER_SRGB);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    glDisable(GL_BLEND);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_BUFFER, bufferTexture.get());
    glBindVertexArray(vertexArray.get());

    glUseProgram(fieldProgram.get());
    setFieldUniforms(fieldProgram.get(), frame, display);
    glUniform1f(location(fieldProgram.get(), "canvasPixels"), static_cast<float>(size));
    glUniform1f(location(fieldProgram.get(), "rounded"), rounded);
    glDrawArrays(GL_TRIANGLES, 0, 3);

    if (display.flow && frame.velocity) {
        glEnable(GL_BLEND);
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
        glUseProgram(overlayProgram.get());
        setFieldUniforms(overlayProgram.get(), frame, display);
        glDrawArrays(GL_LINES, 0, streamlineVertices);
    }

    glUseProgram(0);
    glBindTexture(GL_TEXTURE_BUFFER, 0);
    glBindVertexArray(0);
    glCheck("Draw field");
}

}  // namespace mirel
