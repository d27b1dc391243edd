#include <chrono>
#include <cmath>
#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include "bridge/json/boundary.hpp"
#include "bridge/library/clock.hpp"
#include "bridge/run/files.hpp"
#include "bridge/ui/controller.hpp"
#include "bridge/ui/controller_rules.hpp"
#include "solver/cuda/cuda_check.hpp"

namespace mirel {
namespace {

constexpr double statsInterval = 0.25;  // seconds between statistics refreshes while running
constexpr auto idleSlice = std::chrono::milliseconds(20);

// Whether a solver built for built can serve wanted after setReynolds, setCFL and reset.
bool reusable(const Config& built, const Config& wanted) {
    return built.resolution == wanted.resolution && built.k0 == wanted.k0 && built.seed == wanted.seed &&
           built.fixedDt == wanted.fixedDt && built.method == wanted.method && built.form == wanted.form &&
           built.startSpectrum == wanted.startSpectrum;
}

}  // namespace

// The controller thread's own state. Everything below the solver starts again at every rebuild;
// the thread reads the controller's control fields only through copies taken under its mutex and
// writes the published view only under it, after checking that the generation is still its own.
class Controller::Loop {
public:
    explicit Loop(Controller& owner) : c(owner) {}

    void run() {
        while (iterate()) {
        }
    }

private:
    // What one build of the solver has done so far.
    struct Build {
        Statistics stats;
        Statistics initialStats;
        std::vector<double> history;
        bool statsDue = true;
        bool frameDue = true;
        bool failed = false;
        bool finished = false;
        BatchSizer batch;
        double nextFrameTime = 0.0;
        double lastStatsTime = 0.0;
        RunTimer timer;
        double simulatedInRuns = 0.0;
        double perfTime = 0.0;
        double perfSteps = 0.0;
        double simtimePerSecond = 0.0;
        double turnoversPerSecond = 0.0;
        double stepsPerSecond = 0.0;
        double gpuSeconds = 0.0;
        std::uint32_t batches = 0;
        std::uint32_t frames = 0;
        Regulator regulator;
    };

    using Lock = std::unique_lock<std::mutex>;

    Lock lock() { return Lock(c.mutex); }
    // Checked under the mutex: a newer generation owns the published state.
    bool superseded() const { return c.control.generation != copy.generation; }

    // One pass; false once the thread is to end.
    bool iterate() {
        {
            const Lock held = lock();
            copy = c.control;
            if (copy.stop) return false;
        }
        bool fresh = false;
        try {
            if (copy.generation != lastGeneration) rebuild();
            {
                const Lock held = lock();
                if (superseded()) return true;  // built at once in the next pass
                copy = c.control;
                c.begunPasses += 1;
                fresh = true;
            }
            runningAfter = copy.running;
            work();
        } catch (const std::exception& error) {
            fail(error.what());
        }
        if (fresh) {
            seenLive = copy.liveRevision;
            seenRegulate = copy.regulateRevision;
            seenDisplay = copy.displayRevision;
            wasRunning = runningAfter;
        }
        return true;
    }

    void rebuild() {
        // Set first, so that a failed build waits for the next generation instead of repeating.
        lastGeneration = copy.generation;
        b = Build();
        wasRunning = false;
        seenLive = copy.liveRevision;
        seenRegulate = copy.regulateRevision;
        {
            const Lock held = lock();
            options = c.options;
        }
        options.config = copy.config;
        const std::vector<float> initial = loadInitial(options);
        if (solver && reusable(solver->configuration(), copy.config)) {
            solver->setReynolds(copy.config.reynolds);
            solver->setCFL(copy.config.cfl);
            solver->reset(initial);
        } else {
            solver.reset();
            solver = std::make_unique<Solver>(copy.config, initial);
        }
        b.stats = b.initialStats = solver->inspect();
        b.perfTime = nowSeconds();
    }

    // Everything after the fresh control copy: settings, statistics, frame, publishing, and
    // then either a batch or the idle wait.
    void work() {
        const double now = nowSeconds();
        const bool regulationSwitched = copy.regulateRevision != seenRegulate;
        if (regulationSwitched) b.regulator = Regulator();
        if (copy.liveRevision != seenLive && solver) {
            solver->setCFL(copy.config.cfl);
            // While regulation stays on, the regulator alone sets the Reynolds number.
            if (!copy.regulated || regulationSwitched) solver->setReynolds(copy.config.reynolds);
        }
        if (copy.displayRevision != seenDisplay) b.frameDue = true;
        if (copy.running && !wasRunning) {
            b.perfTime = now;
            b.perfSteps = static_cast<double>(b.stats.steps);
            b.finished = false;
        }
        if (!copy.running && !wasRunning) b.timer.stop(now);
        if (!b.failed) {
            if (b.statsDue) refreshStatistics();
            if (!takeFrame()) return;
        }
        {
            const Lock held = lock();
            if (superseded()) return;
            publish();
        }
        // A single step after a finished run is made; one after a failure is dropped by the wait.
        const bool nothingToDo = !copy.running && copy.pendingSteps == 0;
        if (b.failed || (b.finished && copy.pendingSteps == 0) || nothingToDo)
            waitIdle();
        else
            advance();
    }

    void refreshStatistics() {
        b.stats = solver->inspect();
        const double t = nowSeconds();
        if (copy.regulated) {
            const double referenceRe = referenceReynolds(copy.config.resolution, copy.config.k0);
            if (const std::optional<double> reynolds = b.regulator.step(b.stats.palinstrophyRatio, b.stats.reynolds, referenceRe)) {
                solver->setReynolds(*reynolds);
                b.stats.reynolds = *reynolds;
            }
        }
        recordEnergy(b.history, b.stats.energy);
        b.lastStatsTime = t;
        b.statsDue = false;
    }

    // The frame step; false when a newer generation arrived meanwhile.
    bool takeFrame() {
        if (!copy.visible) return true;
        if (!b.frameDue && ((!copy.running && copy.pendingSteps == 0) || nowSeconds() < b.nextFrameTime)) return true;
        std::shared_ptr<Frame> frame = solver->snapshot(copy.velocity);
        // Null while readers hold every frame slot: tried again when due or at the next frame time.
        if (frame) {
            {
                const Lock held = lock();
                if (superseded()) return false;
                // The count and the statistics go out with the frame, so that no view shows a
                // frame ahead of the steps it reports.
                c.published.frame = std::move(frame);
                ++b.frames;
                c.published.ready = true;
                publish();
            }
            b.frameDue = false;
        }
        b.nextFrameTime = nextFrameTime(b.nextFrameTime, nowSeconds());
        return true;
    }

    // Under the mutex.
    void publish() {
        ViewState& view = c.published;
        view.stats = b.stats;
        if (!c.control.regulated) view.stats.reynolds = c.control.config.reynolds;
        view.initialStats = b.initialStats;
        view.history = b.history;
        view.elapsedSeconds = b.timer.elapsed(nowSeconds());
        view.gpuSeconds = b.gpuSeconds;
        view.batches = b.batches;
        view.frames = b.frames;
        view.batchSteps = b.batch.adaptiveBatch;
        view.finished = b.finished;
        if (c.control.running) {
            view.simtimePerSecond = b.simtimePerSecond;
            view.turnoversPerSecond = b.turnoversPerSecond;
            view.stepsPerSecond = b.stepsPerSecond;
        }
    }

    // Under the mutex: something arrived since the copy that this pass did not act on.
    bool pending() const {
        const Control& now = c.control;
        return now.stop || superseded() || now.running != copy.running || now.pendingSteps > 0 ||
               now.liveRevision != copy.liveRevision || now.regulateRevision != copy.regulateRevision ||
               now.displayRevision != copy.displayRevision;
    }

    void waitIdle() {
        b.timer.stop(nowSeconds());
        Lock held = lock();
        if (superseded()) return;
        // A failed solver makes no single steps; those asked for after a new generation are
        // that generation's.
        if (b.failed) c.control.pendingSteps = 0;
        // Settled only with nothing left to do: a change that arrived since the copy is work.
        if (pending()) return;
        c.published.settled = true;
        const auto deadline = std::chrono::steady_clock::now() + idleSlice;
        c.changed.wait_until(held, deadline, [this] { return pending(); });
    }

    // One batch or single step, then what follows from it.
    void advance() {
        const bool single = copy.pendingSteps > 0;
        std::int32_t n = 0;
        if (single) {
            const Lock held = lock();
            if (superseded()) {
                b.finished = false;
                return;
            }
            if (c.control.pendingSteps == 0) return;  // dropped by running(false) meanwhile
            c.control.pendingSteps -= 1;
            n = 1;
        } else if (options.fixedBatch) {
            n = options.batch;
        } else {
            n = b.batch.steps(copy.visible, b.nextFrameTime, nowSeconds());
        }
        const RunLimits limits = runLimits(options, copy.measuring, b.initialStats.initialTurnoverTime);
        n = limits.cap(n, b.stats.steps);

        const double t0 = nowSeconds();
        std::optional<double> until;
        if (single) {
            b.timer.stop(t0);
        } else {
            b.timer.start(t0);
            until = limits.endTime;
        }
        const double previousTime = b.stats.simulationTime;
        const std::uint64_t previousSteps = b.stats.steps;
        b.stats = solver->advance(n, until);
        const double t1 = nowSeconds();
        const double elapsed = t1 - t0;
        const double advanced = b.stats.simulationTime - previousTime;
        if (!single && std::isfinite(b.stats.simulationTime) && advanced >= 0.0) b.simulatedInRuns += advanced;
        b.batches += 1;
        // An advance that made no step reports the GPU time of the one before it.
        if (b.stats.steps != previousSteps) b.gpuSeconds += b.stats.gpuMilliseconds / 1000.0;
        b.batch.measured(n, elapsed);

        bool ended = false;
        {
            const Lock held = lock();
            if (superseded()) {
                b.finished = false;
                return;
            }
            b.finished = false;
            if (copy.measuring && !single && limits.reached(b.stats, b.timer.elapsed(t1))) {
                c.control.running = false;
                c.published.running = false;
                ended = true;
            }
            runningAfter = c.control.running;
            if (!runningAfter) {
                b.statsDue = true;
                b.timer.stop(nowSeconds());
            } else {
                b.statsDue = t1 - b.lastStatsTime >= statsInterval || single;
            }
        }
        if (ended) {
            // Without the mutex, which every request needs, however long a reader takes. The run
            // is published as finished, and the thread settles, only once both files are written.
            writeSpectrum(*solver, options, &c.closing);
            b.finished = true;
        }
        if (t1 - b.perfTime >= statsInterval && !single) {
            const double run = b.timer.elapsed(t1);
            b.simtimePerSecond = run > 0.0 ? b.simulatedInRuns / run : 0.0;
            b.turnoversPerSecond = b.stats.initialTurnoverTime > 0.0 ? b.simtimePerSecond / b.stats.initialTurnoverTime : 0.0;
            b.stepsPerSecond = (static_cast<double>(b.stats.steps) - b.perfSteps) / (t1 - b.perfTime);
            b.perfTime = t1;
            b.perfSteps = static_cast<double>(b.stats.steps);
        }
        if (!b.frameDue) b.frameDue = t1 >= b.nextFrameTime || single || b.finished;
        b.failed = false;
    }

    void fail(const char* message) {
        b.timer.stop(nowSeconds());
        {
            const Lock held = lock();
            if (!superseded()) {
                c.published.errorMessage = boundary::asValidUtf8(message);
                c.control.running = false;
                c.published.running = false;
                c.published.settled = true;
                c.control.pendingSteps = 0;
            }
        }
        b.failed = true;
    }

    Controller& c;
    Control copy;
    Options options;  // the controller's options as of the last rebuild
    std::unique_ptr<Solver> solver;
    std::uint64_t lastGeneration = 0;
    std::uint64_t seenLive = 0;
    std::uint64_t seenRegulate = 0;
    std::uint64_t seenDisplay = 0;
    bool wasRunning = false;
    bool runningAfter = false;  // the running state this pass ends with
    Build b;
};

void Controller::loop() {
    try {
        cudaCheck(cudaSetDevice(device), "cudaSetDevice(device)");
    } catch (const std::exception& error) {
        const std::lock_guard<std::mutex> lock(mutex);
        published.errorMessage = boundary::asValidUtf8(error.what());
        published.running = false;
        published.settled = true;
        return;
    }
    Loop(*this).run();
}

}  // namespace mirel
