#include "bridge/ui/ui_handle.hpp"

#include <stdexcept>
#include <utility>

#include "bridge/ui/controller_rules.hpp"

namespace mirel {
namespace {

// Equal in all nine fields, the floating-point ones as numbers (a NaN never equals).
bool sameConfig(const Config& a, const Config& b) {
    return a.resolution == b.resolution && a.k0 == b.k0 && a.seed == b.seed && a.reynolds == b.reynolds &&
           a.cfl == b.cfl && a.fixedDt == b.fixedDt && a.method == b.method && a.startSpectrum == b.startSpectrum &&
           a.form == b.form;
}

}  // namespace

UIHandle::~UIHandle() {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        wake.notify_one();
    }
    if (renderThread.joinable()) renderThread.join();
    controller.reset();
    tasks.clear();
}

void UIHandle::attach(unsigned long window) {
    if (parentWindow != 0) throw std::runtime_error("Canvas is already attached.");
    if (window == 0) throw std::runtime_error("Invalid X11 parent window.");
    // Nothing else runs on the handle yet: the render thread starts here, and every other writer
    // of these two fields is the main thread.
    parentWindow = window;
    try {
        renderThread = std::thread(&UIHandle::renderLoop, this);
    } catch (...) {
        parentWindow = 0;  // so that a later attach may try again
        throw;
    }
}

ViewState UIHandle::viewLocked() const {
    if (controller) return controller->view();
    ViewState view;
    view.config = options.config;
    view.running = !options.paused;
    view.regulated = options.regulated;
    return view;
}

void UIHandle::configureLocked(Config cfg) {
    const ViewState view = viewLocked();
    const Config& current = view.config;
    double reynolds = cfg.reynolds;
    const bool newGrid = cfg.resolution != current.resolution || cfg.k0 != current.k0;
    if (newGrid && (view.regulated || cfg.reynolds == current.reynolds))
        reynolds = referenceReynolds(cfg.resolution, cfg.k0);
    cfg.reynolds = reynolds;
    if (sameConfig(cfg, current)) return;
    // Stored before the controller validates it: a rejected configuration stays pending.
    options.config = cfg;
    if (controller) controller->configure(cfg);
}

void UIHandle::runningLocked(bool run) {
    if (run && closed) throw std::runtime_error(stoppedLocked("Renderer stopped."));
    options.paused = !run;
    if (controller) controller->running(run);
}

std::string UIHandle::stoppedLocked(const char* fallback) const {
    return renderError.empty() ? std::string(fallback) : renderError;
}

}  // namespace mirel
