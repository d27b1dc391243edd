#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/render/export_job.hpp"
#include "bridge/run/options.hpp"
#include "bridge/ui/controller.hpp"
#include "bridge/ui/view_state.hpp"
#include "renderer/renderer.hpp"

namespace mirel {

// The object behind the qm_ui_ functions: the options the next controller starts from, the
// controller once started, the parent window and its render thread, the display settings the
// host chose, and the render thread's error and counters. The host's main thread makes every
// call; mutex guards what the render thread shares. Operations named ...Locked expect it held,
// and take a controller's own mutex only inside it.
class UIHandle {
public:
    UIHandle() = default;
    // Closes the handle, joins the render thread and releases the controller; queued render
    // work is dropped unrun.
    ~UIHandle();
    UIHandle(const UIHandle&) = delete;
    UIHandle& operator=(const UIHandle&) = delete;

    // Records the parent window and starts the render thread.
    void attach(unsigned long window);
    // One request, answered by the status report.
    nlohmann::json call(const char* text);
    nlohmann::json report();

private:
    ViewState viewLocked() const;
    // A new configuration; a resolution or k0 change carries the Reynolds number to the new
    // grid's reference value unless a different one was asked for without regulation.
    void configureLocked(Config cfg);
    void runningLocked(bool run);
    // The render thread's error, or fallback when it left none.
    std::string stoppedLocked(const char* fallback) const;

    void perform(const std::string& op, nlohmann::json& request, ViewState view);
    void start();
    void singleStep();
    void nextSeed(const ViewState& view);
    void configure(nlohmann::json& request, const ViewState& view);
    void set(const nlohmann::json& request, ViewState view);
    void benchmark(const nlohmann::json& request);
    void exportFrame(nlohmann::json request);

    // What one pass of the render thread copies under the mutex.
    struct RenderPass {
        ViewState view;
        Display display;
        double scale = 1.0;
        bool visible = true;
        std::vector<RenderTask> jobs;
    };

    void renderLoop();
    void drawUntilClosed(LinuxRenderer& renderer);
    // The copies of the next pass, with the queued jobs moved out; none once the handle closed.
    std::optional<RenderPass> beginPass(std::uint64_t seenGeneration);
    void storeGeometry(const Geometry& measured);
    void steer(OverlayButton click);
    void countPresentation(const ViewState& shown, const RenderTiming& timing, double at);
    void waitForWork(double nextDue);
    void stopRendering(const std::string& message);

    std::mutex mutex;
    std::condition_variable wake;
    Options options;
    std::shared_ptr<Controller> controller;
    unsigned long parentWindow = 0;
    std::thread renderThread;
    bool closed = false;
    bool visible = true;
    bool focused = false;
    bool exporting = false;
    double exposureSetting = 1.2;
    double sigmaSetting = 2.5;
    double canvasScale = 1.0;
    std::string renderError;
    std::uint64_t presentations = 0;
    double firstPresentation = 0.0;
    double lastPresentation = 0.0;
    Geometry geometry{0, 0, false};
    double uploadSeconds = 0.0;
    double drawSubmitSeconds = 0.0;
    double swapSeconds = 0.0;
    std::uint64_t uploads = 0;
    std::uint64_t deviceCopyBytes = 0;
    std::vector<RenderTask> tasks;
};

}  // namespace mirel
