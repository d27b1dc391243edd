#pragma once

// The one implementation of the renderer interface. It owns an X connection, its own window (a
// child of the host's window, or a top-level window in desktop mode), a GLX context current on
// the constructing thread, a CUDA stream and the OpenGL objects that receive frames through
// CUDA/OpenGL sharing, each through an owner that releases it; each operation's definition lives
// in the file of its part.

#include <memory>

#include "renderer/gl/font.hpp"
#include "renderer/gl/gl.hpp"
#include "renderer/gl/handles.hpp"
#include "renderer/renderer.hpp"

namespace mirel {

class Renderer final : public LinuxDesktopRenderer {
public:
    // hostWindow 0: desktop mode.
    Renderer(unsigned long hostWindow, int cudaDevice);
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
    // Makes buffer hold f's planes; copies nothing when f is already there.
    RenderTiming upload(const std::shared_ptr<Frame>& f);
    // The field, and the flow lines when asked, into the bound framebuffer at (0, 0, size, size).
    void draw(const Frame& frame, const Display& display, int size, float rounded);
    void overlay(unsigned long seed, double time, bool running);
    // The attributes of window; false, from then on without asking the server, once it is gone.
    bool windowAttributes(XWindowAttributes& attributes);

    unsigned long hostWindow;
    int desktopTextureSize = 0;
    bool desktopOpen = false;
    int registeredGridSize = 0;
    int width = 64;
    int height = 64;
    double uiScale = 1.0;

    // The owners are destroyed in reverse order of declaration, and that order is the teardown:
    // with the context current and the stream idle, the registration goes, then the last frame,
    // the OpenGL objects (the desktop target first), the stream, the context, the window, the
    // colormap and last the connection. Keep it so when adding one.
    XConnection xDisplay;
    XColormap colormap{xDisplay};
    XWindow window{xDisplay};
    GLContext context{xDisplay};
    CudaStream stream;
    GLName<deleteFontLists> fontListBase{context};
    GLName<glDeleteProgram> overlayProgram{context};
    GLName<glDeleteProgram> fieldProgram{context};
    GLName<deleteVertexArray> vertexArray{context};
    GLName<deleteTexture> bufferTexture{context};
    GLName<finishThenDeleteBuffer> buffer{context};
    GLName<deleteTexture> desktopTexture{context};
    GLName<deleteFramebuffer> desktopFramebuffer{context};
    std::shared_ptr<Frame> lastFrame;
    Registration interop;
    TeardownStart teardownStart{context, window, stream};
};

}  // namespace mirel
