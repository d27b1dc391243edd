// The body of the render thread of an attached UI handle. The renderer lives on this thread from
// its creation to its deletion; the handle's mutex is held only to copy state in and counters
// out, never while the renderer talks to the GPU or the X server.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <exception>
#include <memory>
#include <utility>

#include "bridge/json/boundary.hpp"
#include "bridge/library/clock.hpp"
#include "bridge/render/renderer_binding.hpp"
#include "bridge/ui/ui_handle.hpp"
#include "solver/cuda/cuda_check.hpp"

namespace mirel {
namespace {

constexpr double longestWait = 0.016;

}  // namespace

// A renderer that cannot be made, or fails later, closes the handle with its message.
void UIHandle::renderLoop() {
    try {
        cudaCheck(cudaSetDevice(0), "cudaSetDevice(0)");
        const std::unique_ptr<LinuxRenderer> renderer = linuxRenderer(parentWindow);
        drawUntilClosed(*renderer);
    } catch (const std::exception& failure) {
        stopRendering(failure.what());
    } catch (...) {
        stopRendering("Unknown native failure");
    }
}

void UIHandle::drawUntilClosed(LinuxRenderer& renderer) {
    double nextDue = 0.0;
    std::uint64_t seenGeneration = 0;
    for (;;) {
        const std::optional<RenderPass> pass = beginPass(seenGeneration);
        if (!pass) return;
        for (const RenderTask& job : pass->jobs) job(renderer);
        const Geometry measured = renderer.geometry();
        storeGeometry(measured);
        if (const OverlayButton click = renderer.event(); click != OverlayButton::none) steer(click);
        if (pass->visible && measured.viewable && nowSeconds() >= nextDue) {
            const ViewState& view = pass->view;
            const RenderTiming timing = renderer.present(view.frame, pass->display, view.config.seed,
                                                         view.stats.simulationTime, view.running, pass->scale);
            const double t = nowSeconds();
            nextDue = nextFrameTime(nextDue, t);
            countPresentation(view, timing, t);
        }
        waitForWork(nextDue);
        seenGeneration = pass->view.generation;
    }
}

std::optional<UIHandle::RenderPass> UIHandle::beginPass(std::uint64_t seenGeneration) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (closed) return std::nullopt;
    RenderPass pass{viewLocked(), options.display, canvasScale, visible, std::move(tasks)};
    tasks.clear();
    // The counters follow the generation: a new configuration starts them again.
    if (pass.view.generation != seenGeneration) {
        presentations = 0;
        firstPresentation = 0.0;
        lastPresentation = 0.0;
        uploadSeconds = 0.0;
        drawSubmitSeconds = 0.0;
        swapSeconds = 0.0;
        uploads = 0;
        deviceCopyBytes = 0;
    }
    return pass;
}

void UIHandle::storeGeometry(const Geometry& measured) {
    const std::lock_guard<std::mutex> lock(mutex);
    geometry = measured;
}

// Overlay buttons act only on a controller that has shown its first frame. A handle that is
// closing ignores them, so that a resume cannot fail there.
void UIHandle::steer(OverlayButton click) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (closed || !controller || !controller->view().ready) return;
    switch (click) {
        case OverlayButton::playPause:
            runningLocked(!controller->view().running);
            break;
        case OverlayButton::singleStep:
            options.paused = true;
            controller->singleStep();
            break;
        case OverlayButton::reset:
            controller->reset();
            break;
        case OverlayButton::none:
            break;
    }
}

// Figures of a presentation that straddled a configuration change belong to neither generation.
void UIHandle::countPresentation(const ViewState& shown, const RenderTiming& timing, double at) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (viewLocked().generation != shown.generation) return;
    if (shown.frame) {
        if (presentations == 0) firstPresentation = at;
        presentations += 1;
        lastPresentation = at;
    }
    uploadSeconds += timing.upload;
    drawSubmitSeconds += timing.drawSubmit;
    swapSeconds += timing.swap;
    uploads += timing.uploadCount;
    deviceCopyBytes += timing.uploadBytes;
}

// Until the next presentation is due, 16 ms at most; new jobs and closing end the wait early.
void UIHandle::waitForWork(double nextDue) {
    const double now = nowSeconds();
    const double seconds = nextDue > now ? std::min(nextDue - now, longestWait) : longestWait;
    const auto timeout = std::chrono::nanoseconds(static_cast<std::int64_t>(std::ceil(seconds * 1e9)));
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mutex);
    wake.wait_until(lock, deadline, [this] { return closed || !tasks.empty(); });
}

// The renderer and the pass's jobs are gone by now. Jobs still queued are dropped unrun; their
// requests see the handle closed at their next poll.
void UIHandle::stopRendering(const std::string& message) {
    const std::lock_guard<std::mutex> lock(mutex);
    renderError = boundary::asValidUtf8(message);
    closed = true;
    options.paused = true;
    if (controller) controller->running(false);
    tasks.clear();
    wake.notify_all();
}

}  // namespace mirel
