// Tells whether this machine's X display gives the renderer an OpenGL context shared with CUDA
// device 0: prints the OpenGL renderer and version, or the renderer's failure, and exits 1 then.
#include <cstdio>
#include <exception>
#include <memory>

#include <GL/gl.h>

#include "renderer/renderer.hpp"

int main() {
    try {
        const std::unique_ptr<mirel::LinuxRenderer> renderer(qm_gl_create_desktop(0));
        std::printf("%s, OpenGL %s\n", reinterpret_cast<const char*>(glGetString(GL_RENDERER)),
                    reinterpret_cast<const char*>(glGetString(GL_VERSION)));
        return 0;
    } catch (const std::exception& e) {
        std::printf("%s\n", e.what());
        return 1;
    }
}
