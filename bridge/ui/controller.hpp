#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "bridge/run/options.hpp"
#include "bridge/ui/view_state.hpp"
#include "mirel/export.hpp"
#include "mirel/solver.hpp"

namespace mirel {

// One interactive simulation on a thread of its own. Other threads steer it through the
// operations below, which only change control fields under the mutex and wake the thread, and
// watch it through view(); none of them ever touches the solver.
class QM_EXPORT Controller {
public:
    // Starts the thread, which selects device and builds the solver of options.config.
    Controller(const Options& options, int device);
    // Stops the thread after its current batch and joins it.
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // Continuous stepping on or off; off drops pending single steps.
    void running(bool run);
    // Pauses and queues one time step.
    void singleStep();
    // The CFL number now, and the Reynolds number too while regulation is off.
    void live(float cfl, double reynolds);
    // Reynolds-number regulation on or off; switching it off keeps the Reynolds number reached.
    void regulate(bool on);
    // Frames are taken only while the canvas is visible.
    void visible(bool shown);
    // Frames carry the velocity planes.
    void velocity(bool wanted);
    void dismissError();
    ViewState view() const;
    // A new generation with config, after checking it (std::invalid_argument, nothing changed).
    void configure(Config config);
    // The current configuration again from its start state, as a new generation.
    void reset();
    // A new generation that runs with the limits of a measured run armed.
    void startMeasurement();
    // Options for the next rebuild; nothing changes until then.
    void benchmark(const Options& options);
    // Passes of the thread's loop so far, each counted as it takes the control fields it works
    // with: a pass counted after a change has seen it.
    std::uint64_t passes() const;

private:
    // The fields that the thread copies as one block at the start of each iteration.
    struct Control {
        Config config;
        std::uint64_t generation = 1;
        std::uint64_t liveRevision = 0;
        std::uint64_t regulateRevision = 0;
        std::uint64_t displayRevision = 0;
        bool running = true;
        bool visible = true;
        bool velocity = false;
        bool regulated = true;
        bool stop = false;
        bool measuring = false;
        std::int32_t pendingSteps = 0;
    };
    class QM_HIDDEN Loop;  // the thread's own state and the steps of one iteration

    QM_HIDDEN void loop();
    // Replaces the published state by a fresh one of the current generation.
    QM_HIDDEN void startGeneration();

    Control control;
    mutable std::mutex mutex;  // guards everything here but thread
    std::condition_variable changed;
    ViewState published;
    std::uint64_t begunPasses = 0;
    // Set as the controller is destroyed: a result file still waiting for a slow reader is given
    // up, so that the thread can be joined.
    std::atomic<bool> closing{false};
    Options options;
    int device;
    std::thread thread;
};

}  // namespace mirel
