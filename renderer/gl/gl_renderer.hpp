#pragma once

// The one implementation of the renderer interface. It owns an X connection, its own window (a
// child of the host's window, or a top-level window in desktop mode), a GLX context current on
// the constructing thread, a CUDA stream and the OpenGL objects that receive frames through
// CUDA/OpenGL sharing. They are plain handles released by teardown() in dependency order, with
// the context made current first; each operation's definition lives in the file of its part.

#include <memory>

#include <cuda_gl_interop.h>
#include <cuda_runtime_api.h>

#include "renderer/gl/gl.hpp"
#include "renderer/renderer.hpp"

namespace mirel {

class Renderer final : public LinuxDesktopRenderer {
public:
    // hostWindow 0: desktop mode.
    Renderer(unsigned long hostWindow, int cudaDevice);
    ~Renderer() override;
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    Geometry geometry() override;
    OverlayButton event() override;
    RenderTiming present(const std::shared_ptr<Frame>& frame, const Display& display, unsigned long seed, double time,
                         bool running, double scale) override;
    void exportPNG(const std::shared_ptr<Frame>& frame, const Display& display, const std::filesystem::path& path,
                   int size) override;
    void openDesktop(const char* title, int width, int height) override;
    ::_XDisplay* desktopDisplay() override;
    unsigned long desktopWindow() override;
    unsigned renderTexture(const std::shared_ptr<Frame>& frame, const Display& display, int size,
                           RenderTiming& timing) override;
    void presentDesktop() override;

private:
    void build(int cudaDevice);
    void teardown() noexcept;
    // Makes buffer hold f's planes; copies nothing when f is already there.
    RenderTiming upload(const std::shared_ptr<Frame>& f);
    // The field, and the flow lines when asked, into the bound framebuffer at (0, 0, size, size).
    void draw(const Frame& frame, const Display& display, int size, float rounded);
    void overlay(unsigned long seed, double time, bool running);
    // The attributes of window; false, from then on without asking the server, once it is gone.
    bool windowAttributes(XWindowAttributes& attributes);

    ::Display* xDisplay = nullptr;
    unsigned long hostWindow;
    unsigned long window = 0;
    unsigned long colormap = 0;
    GLXContext context = nullptr;
    GLuint fieldProgram = 0;
    GLuint overlayProgram = 0;
    GLuint buffer = 0;
    GLuint bufferTexture = 0;
    GLuint vertexArray = 0;
    GLuint fontListBase = 0;
    GLuint desktopFramebuffer = 0;
    GLuint desktopTexture = 0;
    int desktopTextureSize = 0;
    bool desktopOpen = false;
    cudaGraphicsResource* interop = nullptr;
    cudaStream_t stream = nullptr;
    std::shared_ptr<Frame> lastFrame;
    int registeredGridSize = 0;
    int width = 64;
    int height = 64;
    double uiScale = 1.0;
    // Someone else destroyed window (the host, or the user of a desktop window). It never comes
    // back, and requests that name it could only fail, so none is made any more.
    bool windowGone = false;
};

}  // namespace mirel
