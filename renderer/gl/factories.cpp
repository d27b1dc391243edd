// The module's two exports, resolved by name at run time. The caller owns the renderer; a failed
// construction frees it and throws, so no null pointer is ever returned.

#include "renderer/gl/gl_renderer.hpp"

#define QM_GL_EXPORT extern "C" __attribute__((visibility("default")))

QM_GL_EXPORT mirel::LinuxRenderer* qm_gl_create(unsigned long hostWindow, int cudaDevice) {
    return new mirel::Renderer(hostWindow, cudaDevice);
}

QM_GL_EXPORT mirel::LinuxRenderer* qm_gl_create_desktop(int cudaDevice) { return new mirel::Renderer(0, cudaDevice); }
