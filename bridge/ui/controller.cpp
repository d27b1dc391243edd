#include "bridge/ui/controller.hpp"

#include "bridge/ui/controller_rules.hpp"

namespace mirel {
namespace {

// Sets one of the flags that decide which frames are taken; false when it had that value.
template <typename Control>
bool changeDisplay(Control& control, bool Control::*flag, bool value) {
    if (control.*flag == value) return false;
    control.displayRevision += 1;
    control.*flag = value;
    return true;
}

}  // namespace

Controller::Controller(const Options& given, int deviceIndex) : options(given), device(deviceIndex) {
    control.config = given.config;
    control.running = !given.paused;
    control.velocity = needsVelocity(given.display) || !given.velocityPath.empty();
    control.regulated = given.regulated;
    control.measuring = !given.stepLimited;
    startGeneration();
    thread = std::thread(&Controller::loop, this);
}

Controller::~Controller() {
    closing = true;
    {
        std::lock_guard<std::mutex> lock(mutex);
        control.stop = true;
    }
    changed.notify_one();
    thread.join();
}

void Controller::running(bool run) {
    std::lock_guard<std::mutex> lock(mutex);
    control.running = run;
    if (!run) control.pendingSteps = 0;
    published.running = run;
    published.settled = false;
    published.finished = false;
    changed.notify_one();
}

void Controller::singleStep() {
    std::lock_guard<std::mutex> lock(mutex);
    control.pendingSteps += 1;
    control.running = false;
    published.running = false;
    published.settled = false;
    published.finished = false;
    changed.notify_one();
}

void Controller::live(float cfl, double reynolds) {
    std::lock_guard<std::mutex> lock(mutex);
    control.config.cfl = cfl;
    published.config.cfl = cfl;
    if (!control.regulated) {
        control.config.reynolds = reynolds;
        published.config.reynolds = reynolds;
        published.stats.reynolds = reynolds;
    }
    control.liveRevision += 1;
    changed.notify_one();
}

void Controller::regulate(bool on) {
    std::lock_guard<std::mutex> lock(mutex);
    if (on == control.regulated) return;
    control.regulateRevision += 1;
    control.regulated = on;
    // The simulation goes on at the Reynolds number the regulation had reached.
    if (!on && published.stats.reynolds > 0.0) control.config.reynolds = published.stats.reynolds;
    control.liveRevision += 1;
    published.regulated = on;
    published.config.reynolds = control.config.reynolds;
    changed.notify_one();
}

void Controller::visible(bool shown) {
    std::lock_guard<std::mutex> lock(mutex);
    if (changeDisplay(control, &Control::visible, shown)) changed.notify_one();
}

void Controller::velocity(bool wanted) {
    std::lock_guard<std::mutex> lock(mutex);
    if (changeDisplay(control, &Control::velocity, wanted)) changed.notify_one();
}

void Controller::dismissError() {
    std::lock_guard<std::mutex> lock(mutex);
    published.errorMessage.clear();
}

ViewState Controller::view() const {
    std::lock_guard<std::mutex> lock(mutex);
    return published;
}

void Controller::configure(Config config) {
    validate(config);
    std::lock_guard<std::mutex> lock(mutex);
    // A new grid starts at its reference Reynolds number unless the caller chose another one
    // while regulation is off.
    const bool newGrid = config.resolution != control.config.resolution || config.k0 != control.config.k0;
    if (newGrid && (control.regulated || config.reynolds == control.config.reynolds))
        config.reynolds = referenceReynolds(config.resolution, config.k0);
    control.generation += 1;
    control.config = config;
    startGeneration();
    control.pendingSteps = 0;
    changed.notify_one();
}

void Controller::reset() {
    Config config;
    {
        std::lock_guard<std::mutex> lock(mutex);
        config = control.config;
    }
    configure(config);
}

void Controller::startMeasurement() {
    std::lock_guard<std::mutex> lock(mutex);
    control.generation += 1;
    control.measuring = true;
    control.running = true;
    control.pendingSteps = 0;
    startGeneration();
    changed.notify_one();
}

void Controller::benchmark(const Options& next) {
    std::lock_guard<std::mutex> lock(mutex);
    options = next;
}

std::uint64_t Controller::passes() const {
    std::lock_guard<std::mutex> lock(mutex);
    return begunPasses;
}

void Controller::startGeneration() {
    published = ViewState();
    published.config = control.config;
    published.generation = control.generation;
    published.running = control.running;
    published.regulated = control.regulated;
}

}  // namespace mirel
