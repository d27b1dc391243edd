#pragma once

// Owners of the renderer's handles. Each one releases what it holds, and nothing when it holds
// nothing, so a renderer built only in part releases exactly what it made. The X owners keep the
// connection they were made on, the OpenGL names the context; the renderer declares those
// before them, so they are still there when the names go.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <cuda_gl_interop.h>
#include <cuda_runtime_api.h>

#include "renderer/gl/gl.hpp"
#include "renderer/gl/x_errors.hpp"
#include "renderer/pipe_signal.hpp"

namespace mirel {

// How long a display that refuses the connection is asked again before the renderer gives up,
// and the first pause between two attempts. The pause doubles from one attempt to the next: a
// reset is over within milliseconds, and a display that refuses for good (for want of an
// authorization, say, which Xlib reports on standard error at every attempt) is asked only a few
// times.
constexpr std::chrono::milliseconds refusedDisplayPatience{2000};
constexpr std::chrono::milliseconds firstRetryPause{10};

// The renderer's own X connection; its protocol errors are ignored while it is open.
class XConnection {
public:
    XConnection() = default;
    ~XConnection() {
        if (display == nullptr) return;
        XCloseDisplay(display);
        forgetErrorsOn(display);
    }
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    // Connects to the display that DISPLAY names; false when there is none. A server refuses
    // connections for a moment while it resets, which a plain Xvfb does whenever its last client
    // leaves (the renderer of the previous export, say), so a display that refuses is asked again
    // for a while. Unset or empty, DISPLAY names no display, and none could come to be there by
    // waiting: that fails at once.
    bool open() {
        const char* const name = std::getenv("DISPLAY");
        if (name == nullptr || *name == '\0') return false;
        // A server that closes the connection as it resets, before Xlib has written the connection
        // setup, makes that write raise SIGPIPE; held here, it only fails the attempt.
        PipeSignalHeld held;
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline = Clock::now() + refusedDisplayPatience;
        for (Clock::duration pause = firstRetryPause; (display = XOpenDisplay(nullptr)) == nullptr; pause *= 2) {
            held.brokenPipe();
            const Clock::duration left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) break;
            std::this_thread::sleep_for(std::min(pause, left));
        }
        if (display != nullptr) ignoreErrorsOn(display);
        return display != nullptr;
    }
    ::Display* get() const { return display; }

private:
    ::Display* display = nullptr;
};

class XColormap {
public:
    explicit XColormap(const XConnection& connection) : connection(connection) {}
    ~XColormap() {
        if (id != 0) XFreeColormap(connection.get(), id);
    }
    XColormap(const XColormap&) = delete;
    XColormap& operator=(const XColormap&) = delete;

    void adopt(Colormap made) { id = made; }
    Colormap get() const { return id; }

private:
    const XConnection& connection;
    Colormap id = 0;
};

class XWindow {
public:
    explicit XWindow(const XConnection& connection) : connection(connection) {}
    ~XWindow() {
        if (id != 0 && !destroyed) XDestroyWindow(connection.get(), id);
    }
    XWindow(const XWindow&) = delete;
    XWindow& operator=(const XWindow&) = delete;

    void adopt(Window made) { id = made; }
    Window get() const { return id; }
    // Someone else destroyed the window (the host, or the user of a desktop window). It never
    // comes back, and requests that name it could only fail, so none is made any more.
    void markGone() { destroyed = true; }
    bool gone() const { return destroyed; }

private:
    const XConnection& connection;
    Window id = 0;
    bool destroyed = false;
};

class GLContext {
public:
    explicit GLContext(const XConnection& connection) : connection(connection) {}
    ~GLContext() {
        if (context == nullptr) return;
        glXMakeCurrent(connection.get(), None, nullptr);
        glXDestroyContext(connection.get(), context);
    }
    GLContext(const GLContext&) = delete;
    GLContext& operator=(const GLContext&) = delete;

    void adopt(GLXContext made) { context = made; }
    GLXContext get() const { return context; }
    // Makes the context current for the releases of its objects, with drawable or, given None,
    // without one. The objects are deleted only when that succeeded; otherwise destroying the
    // context releases them.
    void claim(GLXDrawable drawable) {
        claimed = context != nullptr && glXMakeCurrent(connection.get(), drawable, context);
    }
    bool isClaimed() const { return claimed; }

private:
    const XConnection& connection;
    GLXContext context = nullptr;
    bool claimed = false;
};

// One name from a glGen* function.
inline GLuint generated(void (*generate)(GLsizei, GLuint*)) {
    GLuint name = 0;
    generate(1, &name);
    return name;
}

inline void deleteFramebuffer(GLuint name) { glDeleteFramebuffers(1, &name); }
inline void deleteTexture(GLuint name) { glDeleteTextures(1, &name); }
inline void deleteVertexArray(GLuint name) { glDeleteVertexArrays(1, &name); }
// The shared buffer goes only once OpenGL has finished everything drawn from it.
inline void finishThenDeleteBuffer(GLuint name) {
    glFinish();
    glDeleteBuffers(1, &name);
}

// An OpenGL object of the context, deleted by Delete when the context could be claimed.
template <void (*Delete)(GLuint)>
class GLName {
public:
    explicit GLName(const GLContext& context) : context(context) {}
    ~GLName() {
        if (context.isClaimed()) Delete(name);
    }
    GLName(const GLName&) = delete;
    GLName& operator=(const GLName&) = delete;

    void adopt(GLuint made) { name = made; }
    GLuint get() const { return name; }

private:
    const GLContext& context;
    GLuint name = 0;
};

class CudaStream {
public:
    CudaStream() = default;
    ~CudaStream() {
        if (stream != nullptr) cudaStreamDestroy(stream);
        // The stream is the last CUDA resource of a renderer to go, and its teardown has no one
        // to report to: the runtime must not keep failures as pending errors for the owner's
        // next CUDA call.
        cudaGetLastError();
    }
    CudaStream(const CudaStream&) = delete;
    CudaStream& operator=(const CudaStream&) = delete;

    cudaStream_t* address() { return &stream; }
    cudaStream_t get() const { return stream; }
    // Waits for the work queued on the stream; the result is ignored.
    void synchronize() const {
        if (stream != nullptr) cudaStreamSynchronize(stream);
    }

private:
    cudaStream_t stream = nullptr;
};

// The CUDA registration of an OpenGL buffer.
class Registration {
public:
    Registration() = default;
    ~Registration() {
        if (resource != nullptr) cudaGraphicsUnregisterResource(resource);
    }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

    // Where registration stores the resource, and the list of one resource that mapping takes.
    cudaGraphicsResource** address() { return &resource; }
    cudaGraphicsResource* get() const { return resource; }
    // Unregisters at once. A failed attempt keeps the registration, for the destructor to try.
    cudaError_t unregister() {
        const cudaError_t error = cudaGraphicsUnregisterResource(resource);
        if (error == cudaSuccess) resource = nullptr;
        return error;
    }

private:
    cudaGraphicsResource* resource = nullptr;
};

// Destroyed before the other owners of a renderer: the releases begin with its context current
// where it can be, and with its stream idle before the stream's work loses its registration.
class TeardownStart {
public:
    TeardownStart(GLContext& context, const XWindow& window, const CudaStream& stream)
        : context(context), window(window), stream(stream) {}
    ~TeardownStart() {
        // Destruction may begin with another context current, whose objects must not be deleted
        // in place of ours. Releasing them needs no drawable, so a context whose window is gone
        // is made current without one.
        context.claim(window.gone() ? None : window.get());
        stream.synchronize();
    }
    TeardownStart(const TeardownStart&) = delete;
    TeardownStart& operator=(const TeardownStart&) = delete;

private:
    GLContext& context;
    const XWindow& window;
    const CudaStream& stream;
};

}  // namespace mirel
