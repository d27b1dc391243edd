#include <algorithm>
#include <chrono>
#include <cmath>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "bridge/json/readers.hpp"
#include "bridge/render/display_settings.hpp"
#include "bridge/ui/ui_handle.hpp"

namespace mirel {
namespace {

using nlohmann::json;

// A batch size, truncated toward zero; a number beyond the int range gives 0, which the limits
// then refuse. Unlike the other integer keys, a boolean is no batch size.
int batchSize(const json& value) {
    if (!value.is_number()) wrongType(value, "number");
    return integer(value).value_or(0);
}

// The CFL range an integrator is moved into when "cap_cfl" asks for it.
float cappedCfl(std::uint32_t method, float cfl) {
    if (method == CNAB2) return std::min(cfl, 0.25f);
    if (method == etdrk4) return std::max(cfl, 1.0f);
    return std::clamp(cfl, 1.0f, 1.5f);
}

}  // namespace

// The decoded request is handed on, never copied: a copy recurses as deep as its values nest.
json UIHandle::call(const char* text) {
    json request = decode(text);
    const std::string op = existing<std::string>(request, "op", "");
    if (op == "export") {
        exportFrame(std::move(request));
    } else if (op == "save") {
        throw std::runtime_error("Use the shared application Save dialog.");
    } else {
        const std::lock_guard<std::mutex> lock(mutex);
        perform(op, request, viewLocked());
    }
    return report();
}

void UIHandle::perform(const std::string& op, json& request, ViewState view) {
    if (op == "get" || op == "flush") return;
    if (op == "start") return start();
    if (op == "toggle") return runningLocked(!view.running);
    if (op == "running") return runningLocked(existing<bool>(request, "value", false));
    if (op == "step") return singleStep();
    if (op == "reset") {
        if (controller) controller->reset();
        return;
    }
    if (op == "seed") return nextSeed(view);
    if (op == "visible") {
        visible = existing<bool>(request, "value", true);
        if (controller) controller->visible(visible);
        wake.notify_one();
        return;
    }
    if (op == "dismiss") {
        renderError.clear();
        if (controller) controller->dismissError();
        return;
    }
    if (op == "configure") return configure(request, view);
    if (op == "set") return set(request, std::move(view));
    if (op == "benchmark") return benchmark(request);
    throw std::invalid_argument("Unknown UI operation.");
}

void UIHandle::start() {
    if (closed) throw std::runtime_error(stoppedLocked("Renderer stopped."));
    if (controller) return;
    controller = std::make_shared<Controller>(options, 0);
    controller->visible(visible);
}

void UIHandle::singleStep() {
    if (closed) throw std::runtime_error(stoppedLocked("Renderer stopped."));
    options.paused = true;
    if (controller) controller->singleStep();
}

// CNAB2 seeds stay in 1..5010, wrapping from 5010 to 1; others wrap at 2^64.
void UIHandle::nextSeed(const ViewState& view) {
    Config cfg = view.config;
    cfg.seed = cfg.method == CNAB2 ? cfg.seed % 5010 + 1 : cfg.seed + 1;
    configureLocked(cfg);
}

// A capped CNAB2 runs the stress form whatever "operator" says, which is written into the call's
// own request.
void UIHandle::configure(json& request, const ViewState& view) {
    const bool capped = existing<bool>(request, "cap_cfl", false);
    const auto integrator = request.find("integrator");
    if (capped && integrator != request.end() && integrator->is_string() && *integrator == "CNAB2")
        request["operator"] = "stress";
    Config cfg = configuration(request, view.config);
    if (capped && cfg.method != view.config.method) cfg.cfl = cappedCfl(cfg.method, cfg.cfl);
    configureLocked(cfg);
}

// The keys take effect one after another: a failing key leaves what the earlier ones changed.
void UIHandle::set(const json& request, ViewState view) {
    if (has(request, "regulated")) {
        options.regulated = request.at("regulated").get<bool>();
        if (controller) controller->regulate(options.regulated);
        view = viewLocked();
    }
    if (has(request, "cfl") || has(request, "log_reynolds")) {
        const double lo = view.config.method == CNAB2 ? 0.05 : 1.0;
        const auto cfl = static_cast<float>(std::clamp(scalar(request, "cfl", view.config.cfl), lo, 3.0));
        const double reynolds = has(request, "log_reynolds")
                                    ? std::pow(10.0, std::clamp(scalar(request, "log_reynolds", 0.0), 3.0, 6.0))
                                    : view.config.reynolds;
        if (controller) controller->live(cfl, reynolds);
        options.config.cfl = cfl;
        if (!options.regulated) options.config.reynolds = reynolds;
    }
    options.display = displaySettings(request, options.display);
    if (has(request, "canvas_scale")) canvasScale = std::clamp(scalar(request, "canvas_scale", 1.0), 0.5, 8.0);
    sigmaSetting = std::clamp(scalar(request, "sigma", sigmaSetting), 1.5, 3.5);
    exposureSetting = std::clamp(scalar(request, "exposure", exposureSetting), 0.25, 3.0);
    if (controller) controller->velocity(needsVelocity(options.display));
    focused = flag(request, "focused", focused);
}

// Keys that the request holds change the limits, null clearing them; the options change only
// when the resulting limits are valid.
void UIHandle::benchmark(const json& request) {
    Options copy = options;
    if (request.contains("until"))
        copy.until = has(request, "until") ? std::optional<double>(scalar(request, "until", 0.0)) : std::nullopt;
    if (request.contains("wall_seconds")) copy.wallSeconds = scalar(request, "wall_seconds", 0.0);
    if (request.contains("batch")) {
        copy.fixedBatch = has(request, "batch");
        copy.batch = copy.fixedBatch ? batchSize(request.at("batch")) : 8;
    }
    if (copy.batch < 1 || copy.batch > 32 || copy.wallSeconds < 0.0 || (copy.until && *copy.until < 0.0))
        throw std::invalid_argument("Invalid benchmark limits.");
    if (request.contains("initial")) copy.initial = path(request, "initial");
    if (request.contains("spectrum")) copy.spectrum = path(request, "spectrum");
    options = copy;
    if (controller) controller->benchmark(options);
}

// The render thread does the work; this thread waits for it in short slices, so that a render
// thread that stops (and drops the job unrun) ends the wait.
void UIHandle::exportFrame(json request) {
    const auto done = std::make_shared<std::promise<void>>();
    std::future<void> result = done->get_future();
    {
        const std::lock_guard<std::mutex> lock(mutex);
        std::shared_ptr<Frame> frame = controller ? controller->view().frame : nullptr;
        if (!frame) throw std::runtime_error("No completed frame.");
        if (closed || parentWindow == 0) throw std::runtime_error(stoppedLocked("No native renderer."));
        exporting = true;
        tasks.push_back(exportJob(std::move(frame), options.display, std::move(request), done));
        wake.notify_one();
    }
    try {
        while (result.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
            const std::lock_guard<std::mutex> lock(mutex);
            if (closed) throw std::runtime_error(stoppedLocked("Renderer stopped."));
        }
        result.get();
    } catch (...) {
        const std::lock_guard<std::mutex> lock(mutex);
        exporting = false;
        throw;
    }
    const std::lock_guard<std::mutex> lock(mutex);
    exporting = false;
}

}  // namespace mirel
