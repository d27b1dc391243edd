#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>

#include "renderer/gl/font.hpp"
#include "renderer/gl/gl_renderer.hpp"
#include "renderer/gl/glsl.hpp"
#include "renderer/gl/shaders.hpp"
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

// Whatever step fails, the owners made so far release what they hold.
Renderer::Renderer(unsigned long hostWindow, int cudaDevice) : hostWindow(hostWindow) {
    if (XInitThreads() == 0) throw std::runtime_error("X11 thread initialization failed.");
    cudaCheck(cudaSetDevice(cudaDevice), "cudaSetDevice(device)");
    if (!xDisplay.open()) throw std::runtime_error("OpenGL rendering requires a local X11/Xwayland display (DISPLAY).");
    ::Display* const connection = xDisplay.get();

    GLXFBConfig configuration = nullptr;
    const auto visual = chooseVisual(connection, configuration);
    const unsigned long parent = hostWindow != 0 ? hostWindow : RootWindow(connection, visual->screen);
    colormap.adopt(XCreateColormap(connection, parent, visual->visual, AllocNone));
    XSetWindowAttributes attributes{};
    attributes.colormap = colormap.get();
    // The presses are dropped, but selecting them makes the pointer grab of a press on the canvas
    // the canvas's own: a host window that selects presses would take it, and the release with it.
    attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask;
    window.adopt(XCreateWindow(connection, parent, 0, 0, width, height, 0, visual->depth, InputOutput, visual->visual,
                               CWColormap | CWEventMask, &attributes));
    // A host window that does not exist fails the creation requests above without a trace in
    // their results; the round trip of reading the window back shows it.
    XWindowAttributes created;
    if (XGetWindowAttributes(connection, window.get(), &created) == 0)
        throw std::runtime_error("The canvas window was destroyed.");

    context.adopt(glXCreateNewContext(connection, configuration, GLX_RGBA_TYPE, nullptr, True));
    if (context.get() == nullptr || !glXMakeCurrent(connection, window.get(), context.get()))
        throw std::runtime_error("Cannot create the native OpenGL context.");

    GLint major = 0, minor = 0;
    glGetIntegerv(GL_MAJOR_VERSION, &major);
    glGetIntegerv(GL_MINOR_VERSION, &minor);
    if (major < 3 || (major == 3 && minor < 3)) throw std::runtime_error("Native rendering needs OpenGL 3.3 or later.");
    if (!drivesContext(cudaDevice)) throw std::runtime_error("OpenGL and CUDA selected different GPUs.");
    cudaCheck(cudaStreamCreateWithFlags(stream.address(), cudaStreamNonBlocking),
              "cudaStreamCreateWithFlags(&stream,cudaStreamNonBlocking)");

    buffer.adopt(generated(glGenBuffers));
    bufferTexture.adopt(generated(glGenTextures));
    vertexArray.adopt(generated(glGenVertexArrays));
    fieldProgram.adopt(program(glsl::fullScreenVertex, glsl::fieldFragment));
    overlayProgram.adopt(program(glsl::streamlineVertex, glsl::streamlineFragment));

    // Building the glyph lists clears the errors that some drivers raise for blank glyphs; an
    // error of the steps before is reported first.
    glCheck("Initialize renderer");
    fontListBase.adopt(fixedFontLists(connection));
    // The render thread paces presentation itself.
    using SwapInterval = void (*)(::Display*, GLXDrawable, int);
    if (const auto swapInterval = reinterpret_cast<SwapInterval>(
            glXGetProcAddressARB(reinterpret_cast<const GLubyte*>("glXSwapIntervalEXT"))))
        swapInterval(connection, window.get(), 0);

    if (hostWindow != 0) XMapWindow(connection, window.get());
    XFlush(connection);
    glCheck("Initialize renderer");
}

}  // namespace mirel
