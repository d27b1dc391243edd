#include <algorithm>
#include <stdexcept>

#include "renderer/gl/gl_renderer.hpp"
#include "renderer/gl/stopwatch.hpp"

namespace mirel {
namespace {

constexpr int maxTextureSide = 4096;
// Radius of the field square's two rounded corners, in logical points.
constexpr double cornerPoints = 15.0;

}  // namespace

RenderTiming Renderer::present(const std::shared_ptr<Frame>& frame, const Display& display, unsigned long seed,
                               double time, bool running, double scale) {
    uiScale = scale;
    // Nothing would show what is drawn for a window that is gone.
    if (window.gone()) return {};
    RenderTiming timing;
    const Stopwatch clock;
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glClearColor(0.035f, 0.047f, 0.075f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    if (frame) {
        timing = upload(frame);
        draw(*frame, display, std::min(width, height), static_cast<float>(cornerPoints * uiScale));
    }
    overlay(seed, time, running);
    timing.drawSubmit = clock.seconds() - timing.upload;
    const Stopwatch swapClock;
    glXSwapBuffers(xDisplay.get(), window.get());
    timing.swap = swapClock.seconds();
    return timing;
}

unsigned Renderer::renderTexture(const std::shared_ptr<Frame>& frame, const Display& display, int size,
                                 RenderTiming& timing) {
    if (!frame) throw std::runtime_error("No frame to render.");
    const int side = std::clamp(size, 1, maxTextureSide);
    if (desktopFramebuffer.get() == 0) {
        desktopFramebuffer.adopt(generated(glGenFramebuffers));
        desktopTexture.adopt(generated(glGenTextures));
    }
    glBindTexture(GL_TEXTURE_2D, desktopTexture.get());
    if (desktopTextureSize != side) {
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, side, side, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        desktopTextureSize = side;
    }
    timing = upload(frame);
    const Stopwatch clock;
    glBindFramebuffer(GL_FRAMEBUFFER, desktopFramebuffer.get());
    try {
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, desktopTexture.get(), 0);
        if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE)
            throw std::runtime_error("Desktop framebuffer is incomplete.");
        draw(*frame, display, side, 0.0f);
    } catch (...) {
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        throw;
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    timing.drawSubmit = clock.seconds();
    return desktopTexture.get();
}

void Renderer::presentDesktop() {
    if (!window.gone()) glXSwapBuffers(xDisplay.get(), window.get());
}

}  // namespace mirel
