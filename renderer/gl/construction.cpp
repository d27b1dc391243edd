#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>

#include "renderer/gl/font.hpp"
#include "renderer/gl/gl_renderer.hpp"
#include "renderer/gl/glsl.hpp"
#include "renderer/gl/shaders.hpp"
#include "renderer/gl/x_errors.hpp"
#include "solver/cuda/cuda_check.hpp"

namespace mirel {
namespace {

constexpr int maxGLDevices = 16;

struct XFreeDeleter {
    void operator()(void* data) const { XFree(data); }
};

// The double-buffered 8-bit RGB window configuration, and its visual.
std::unique_ptr<XVisualInfo, XFreeDeleter> chooseVisual(::Display* connection, GLXFBConfig& configuration) {
    const int attributes[] = {GLX_X_RENDERABLE, True, GLX_DRAWABLE_TYPE, GLX_WINDOW_BIT, GLX_RENDER_TYPE, GLX_RGBA_BIT,
                              GLX_DOUBLEBUFFER, True, GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE, 8, None};
    int count = 0;
    GLXFBConfig* configurations = glXChooseFBConfig(connection, DefaultScreen(connection), attributes, &count);
    if (configurations == nullptr) throw std::runtime_error("No OpenGL framebuffer configuration.");
    if (count <= 0) {
        XFree(configurations);
        throw std::runtime_error("No OpenGL framebuffer configuration.");
    }
    configuration = configurations[0];
    std::unique_ptr<XVisualInfo, XFreeDeleter> visual(glXGetVisualFromFBConfig(connection, configuration));
    XFree(configurations);
    if (!visual) throw std::runtime_error("No OpenGL visual.");
    return visual;
}

// Whether device is among the CUDA devices that drive the current OpenGL context.
bool drivesContext(int device) {
    unsigned count = 0;
    int devices[maxGLDevices] = {};
    const cudaError_t error = cudaGLGetDevices(&count, devices, maxGLDevices, cudaGLDeviceListAll);
    if (error != cudaSuccess) {
        cudaGetLastError();
        throw std::runtime_error(std::string("CUDA/OpenGL sharing is unavailable on this display: ") +
                                 cudaGetErrorString(error) +
                                 ". WSLg sharing is not supported by the tested driver stack; headless CUDA remains "
                                 "available.");
    }
    const int listed = std::min<int>(static_cast<int>(count), maxGLDevices);
    return std::find(devices, devices + listed, device) != devices + listed;
}

}  // namespace

Renderer::Renderer(unsigned long hostWindow, int cudaDevice) : hostWindow(hostWindow) {
    try {
        build(cudaDevice);
    } catch (...) {
        teardown();
        throw;
    }
}

Renderer::~Renderer() { teardown(); }

void Renderer::build(int cudaDevice) {
    if (XInitThreads() == 0) throw std::runtime_error("X11 thread initialization failed.");
    cudaCheck(cudaSetDevice(cudaDevice), "cudaSetDevice(device)");
    xDisplay = XOpenDisplay(nullptr);
    if (xDisplay == nullptr) throw std::runtime_error("OpenGL rendering requires a local X11/Xwayland display (DISPLAY).");
    ignoreErrorsOn(xDisplay);

    GLXFBConfig configuration = nullptr;
    const auto visual = chooseVisual(xDisplay, configuration);
    const unsigned long parent = hostWindow != 0 ? hostWindow : RootWindow(xDisplay, visual->screen);
    colormap = XCreateColormap(xDisplay, parent, visual->visual, AllocNone);
    XSetWindowAttributes attributes{};
    attributes.colormap = colormap;
    // The presses are dropped, but selecting them makes the pointer grab of a press on the canvas
    // the canvas's own: a host window that selects presses would take it, and the release with it.
    attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask;
    window = XCreateWindow(xDisplay, parent, 0, 0, width, height, 0, visual->depth, InputOutput, visual->visual,
                           CWColormap | CWEventMask, &attributes);
    // A host window that does not exist fails the creation requests above without a trace in
    // their results; the round trip of reading the window back shows it.
    XWindowAttributes created;
    if (XGetWindowAttributes(xDisplay, window, &created) == 0) throw std::runtime_error("The canvas window was destroyed.");

    context = glXCreateNewContext(xDisplay, configuration, GLX_RGBA_TYPE, nullptr, True);
    if (context == nullptr || !glXMakeCurrent(xDisplay, window, context))
        throw std::runtime_error("Cannot create the native OpenGL context.");

    GLint major = 0, minor = 0;
    glGetIntegerv(GL_MAJOR_VERSION, &major);
    glGetIntegerv(GL_MINOR_VERSION, &minor);
    if (major < 3 || (major == 3 && minor < 3)) throw std::runtime_error("Native rendering needs OpenGL 3.3 or later.");
    if (!drivesContext(cudaDevice)) throw std::runtime_error("OpenGL and CUDA selected different GPUs.");
    cudaCheck(cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking),
              "cudaStreamCreateWithFlags(&stream,cudaStreamNonBlocking)");

    glGenBuffers(1, &buffer);
    glGenTextures(1, &bufferTexture);
    glGenVertexArrays(1, &vertexArray);
    fieldProgram = program(glsl::fullScreenVertex, glsl::fieldFragment);
    overlayProgram = program(glsl::streamlineVertex, glsl::streamlineFragment);

    // Building the glyph lists clears the errors that some drivers raise for blank glyphs; an
    // error of the steps before is reported first.
    glCheck("Initialize renderer");
    fontListBase = fixedFontLists(xDisplay);
    // The render thread paces presentation itself.
    using SwapInterval = void (*)(::Display*, GLXDrawable, int);
    if (const auto swapInterval = reinterpret_cast<SwapInterval>(
            glXGetProcAddressARB(reinterpret_cast<const GLubyte*>("glXSwapIntervalEXT"))))
        swapInterval(xDisplay, window, 0);

    if (hostWindow != 0) XMapWindow(xDisplay, window);
    XFlush(xDisplay);
    glCheck("Initialize renderer");
}

void Renderer::teardown() noexcept {
    // Destruction may begin with another context current, whose objects must not be deleted in
    // place of ours. Releasing them needs no drawable, so a context whose window is gone is made
    // current without one; where the driver refuses that, destroying the context releases them.
    const bool current = context != nullptr && glXMakeCurrent(xDisplay, windowGone ? None : window, context);
    if (stream != nullptr) cudaStreamSynchronize(stream);
    if (interop != nullptr) cudaGraphicsUnregisterResource(interop);
    lastFrame.reset();
    if (current) {
        glDeleteFramebuffers(1, &desktopFramebuffer);
        glDeleteTextures(1, &desktopTexture);
        glFinish();
        glDeleteBuffers(1, &buffer);
        glDeleteTextures(1, &bufferTexture);
        glDeleteVertexArrays(1, &vertexArray);
        glDeleteProgram(fieldProgram);
        glDeleteProgram(overlayProgram);
        if (fontListBase != 0) glDeleteLists(fontListBase, fontGlyphs);
    }
    if (stream != nullptr) cudaStreamDestroy(stream);
    // Teardown has no one to report to; the runtime must not keep its failures as pending errors
    // for the owner's next CUDA call.
    cudaGetLastError();
    if (context != nullptr) {
        glXMakeCurrent(xDisplay, None, nullptr);
        glXDestroyContext(xDisplay, context);
    }
    if (xDisplay == nullptr) return;
    if (window != 0 && !windowGone) XDestroyWindow(xDisplay, window);
    if (colormap != 0) XFreeColormap(xDisplay, colormap);
    XCloseDisplay(xDisplay);
    forgetErrorsOn(xDisplay);
}

}  // namespace mirel
