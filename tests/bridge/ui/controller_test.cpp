// A controller's thread steps, refreshes, paces frames and ends measured runs on its own, and
// publishes only what belongs to the generation it is asked about.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge/ui/controller.hpp"
#include "bridge/ui/controller_rules.hpp"
#include "support/controller_fixture.hpp"
#include "support/file_bytes.hpp"
#include "support/messages.hpp"
#include "support/polling.hpp"
#include "support/temp_folder.hpp"
#include "support/two_pi.hpp"

namespace {

using mirel::Controller;
using mirel::Options;
using mirel::ViewState;
using test::waitFor;
using test::waitSettled;
using test::waitSteps;

class ControllerBehaviour : public test::ControllerTest {};

// Views that show the thread going round its loop without stepping.
void expectNoSteps(const Controller& controller, std::uint64_t steps) {
    test::waitPasses(controller, 3);
    EXPECT_EQ(controller.view().stats.steps, steps);
}

TEST_F(ControllerBehaviour, PausedOptionsStartNotRunning) {
    Options options = test::smallRun();
    options.paused = true;
    Controller controller(options, 0);
    EXPECT_FALSE(controller.view().running);
    const ViewState first = waitSettled(controller);
    EXPECT_FALSE(first.running);
    EXPECT_EQ(first.generation, 1u);
    EXPECT_EQ(first.stats.steps, 0u);
    ASSERT_TRUE(first.frame);
    EXPECT_EQ(first.frame->grid_size, 16);
    expectNoSteps(controller, 0);

    controller.running(true);
    EXPECT_TRUE(controller.view().running);
    const ViewState later = waitSteps(controller, 10);
    EXPECT_TRUE(later.running);
    EXPECT_GT(later.batches, 0u);
}

TEST_F(ControllerBehaviour, VelocityPlanesFollowTheOptions) {
    struct Case {
        const char* name;
        mirel::Field field;
        bool flow;
        const char* velocityPath;
        bool velocity;
    };
    const Case cases[] = {
        {"vorticity", mirel::Field::vorticity, false, "", false},
        {"speed", mirel::Field::speed, false, "", true},
        {"enstrophy", mirel::Field::enstrophy, false, "", false},
        {"flow lines", mirel::Field::vorticity, true, "", true},
        {"velocity file", mirel::Field::enstrophy, false, "velocity.bin", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Options options = test::smallRun();
        options.paused = true;
        options.display.field = c.field;
        options.display.flow = c.flow;
        options.velocityPath = c.velocityPath;
        Controller controller(options, 0);
        const ViewState view = waitSettled(controller);
        ASSERT_TRUE(view.frame);
        EXPECT_EQ(view.frame->velocity, c.velocity);
        EXPECT_EQ(view.frame->max_speed > 0.0f, c.velocity);
    }
}

TEST_F(ControllerBehaviour, ADisplayChangeTakesAFrameEvenWhilePaused) {
    Options options = test::smallRun();
    options.paused = true;
    Controller controller(options, 0);
    const ViewState before = waitSettled(controller);
    ASSERT_FALSE(before.frame->velocity);
    controller.velocity(true);
    const ViewState after = waitFor(
        controller, [](const ViewState& v) { return v.frame && v.frame->velocity && v.settled; }, "a frame with velocity");
    EXPECT_EQ(after.frames, before.frames + 1);
    EXPECT_EQ(after.stats.steps, 0u);
    controller.velocity(true);
    test::waitPasses(controller, 3);
    EXPECT_EQ(controller.view().frames, after.frames) << "the same setting again is no change";
}

TEST_F(ControllerBehaviour, SingleStepMakesOneStepThenRefreshesAndTakesAFrame) {
    Options options = test::smallRun();
    options.paused = true;
    Controller controller(options, 0);
    const ViewState before = waitSettled(controller);
    ASSERT_EQ(before.history.size(), 1u);

    controller.singleStep();
    const ViewState after = waitFor(
        controller, [](const ViewState& v) { return v.settled && v.stats.steps == 1; }, "one step");
    EXPECT_FALSE(after.running);
    EXPECT_NE(after.stats.energy, before.stats.energy) << "statistics refreshed after the step";
    EXPECT_EQ(after.history.size(), 2u);
    EXPECT_EQ(after.history.back(), after.stats.energy);
    ASSERT_TRUE(after.frame);
    EXPECT_EQ(after.frame->steps, 1);
    EXPECT_EQ(after.stats.simulationTime, after.frame->time);
    EXPECT_EQ(after.simtimePerSecond, 0.0) << "single steps are not timed running";
    expectNoSteps(controller, 1);
}

// Each resume lands while the pass that saw the pause refreshes the statistics and takes a
// frame, before it would wait: the controller must not go on to step as settled.
TEST_F(ControllerBehaviour, SettledOnlyWithNothingLeftToDo) {
    Controller controller(test::smallRun(64), 0);
    waitSteps(controller, 1);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        controller.running(false);
        test::waitPasses(controller, 1);
        controller.running(true);
        test::waitPasses(controller, 3);
        const ViewState resumed = controller.view();
        ASSERT_TRUE(resumed.running);
        ASSERT_FALSE(resumed.settled) << "at step " << resumed.stats.steps;
    }
    controller.running(false);
    const std::uint64_t steps = waitSettled(controller).stats.steps;
    expectNoSteps(controller, steps);
    EXPECT_TRUE(controller.view().settled);
}

TEST_F(ControllerBehaviour, ConfigureStartsAtTheReferenceReynoldsNumberOnANewGrid) {
    struct Case {
        const char* name;
        bool regulated;
        int resolution, k0;
        double requested;  // 0: the current Reynolds number
        bool reference;    // Re_ref of the new grid, else the requested value
    };
    const Case cases[] = {
        {"new resolution, regulated", true, 32, 4, 7000.0, true},
        {"new k0, regulated", true, 16, 2, 7000.0, true},
        {"new resolution, unregulated, same Re", false, 32, 4, 0.0, true},
        {"new resolution, unregulated, other Re", false, 32, 4, 7000.0, false},
        {"same grid, regulated", true, 16, 4, 7000.0, false},
        {"same grid, unregulated", false, 16, 4, 0.0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Options options = test::smallRun();
        options.paused = true;
        options.regulated = c.regulated;
        Controller controller(options, 0);
        mirel::Config config = options.config;
        config.resolution = c.resolution;
        config.k0 = c.k0;
        config.reynolds = c.requested > 0.0 ? c.requested : options.config.reynolds;
        controller.configure(config);
        const ViewState view = controller.view();
        EXPECT_EQ(view.generation, 2u);
        EXPECT_EQ(view.config.resolution, c.resolution);
        EXPECT_EQ(view.config.reynolds, c.reference ? mirel::referenceReynolds(c.resolution, c.k0) : config.reynolds);
        const ViewState built = waitSettled(controller);
        EXPECT_EQ(built.frame->grid_size, c.resolution);
    }
}

TEST_F(ControllerBehaviour, ConfigureClearsThePublishedStateAtOnce) {
    Controller controller(test::smallRun(), 0);
    const ViewState running = waitFor(
        controller, [](const ViewState& v) { return v.ready && v.history.size() > 1; }, "frame and history");
    mirel::Config config = running.config;
    config.seed = 9;
    controller.configure(config);
    const ViewState view = controller.view();
    EXPECT_EQ(view.generation, running.generation + 1);
    EXPECT_FALSE(view.ready);
    EXPECT_FALSE(view.frame);
    EXPECT_TRUE(view.history.empty());
    EXPECT_EQ(view.stats.steps, 0u);
    EXPECT_TRUE(view.running);
    EXPECT_EQ(view.config.seed, 9u);
}

TEST_F(ControllerBehaviour, ConfigureRefusesBadConfigurationsAndChangesNothing) {
    struct Case {
        const char* name;
        int resolution;
        std::uint32_t method;
        std::string message;
    };
    const Case cases[] = {
        {"odd resolution", 15, 2, test::invalidConfig},
        {"too fine", 16386, 2, test::invalidConfig},
        {"CNAB2 off a power of two", 1000, 3, test::invalidCNAB2},
    };
    Options options = test::smallRun();
    options.paused = true;
    Controller controller(options, 0);
    const ViewState before = waitSettled(controller);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mirel::Config config = options.config;
        config.resolution = c.resolution;
        config.method = c.method;
        try {
            controller.configure(config);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(std::string(error.what()), c.message);
        }
        const ViewState after = controller.view();
        EXPECT_EQ(after.generation, before.generation);
        EXPECT_EQ(after.config.resolution, 16);
        EXPECT_TRUE(after.ready);
    }
}

TEST_F(ControllerBehaviour, RegulationOffKeepsTheReynoldsNumberItReached) {
    Options options = test::smallRun();
    options.config.reynolds = 5000.0;
    options.regulated = true;
    Controller controller(options, 0);
    // Every refresh moves the Reynolds number by a factor of at most e^0.01.
    const ViewState moved = waitFor(
        controller, [](const ViewState& v) { return v.stats.reynolds > 0.0 && v.stats.reynolds != 5000.0; }, "regulation");
    EXPECT_LE(std::fabs(std::log(moved.stats.reynolds / 5000.0)), 0.01 * static_cast<double>(moved.history.size()) + 1e-12);
    controller.running(false);
    const ViewState paused = waitFor(
        controller, [](const ViewState& v) { return v.settled; }, "paused");
    EXPECT_EQ(paused.config.reynolds, 5000.0) << "regulation does not touch the configured value";

    controller.regulate(false);
    const ViewState view = controller.view();
    EXPECT_FALSE(view.regulated);
    EXPECT_EQ(view.config.reynolds, paused.stats.reynolds);
    controller.singleStep();
    const ViewState stepped = waitFor(
        controller, [&](const ViewState& v) { return v.settled && v.stats.steps == paused.stats.steps + 1; }, "a step");
    EXPECT_EQ(stepped.stats.reynolds, paused.stats.reynolds);
    EXPECT_EQ(stepped.config.reynolds, paused.stats.reynolds);
}

TEST_F(ControllerBehaviour, LiveParametersReachTheViewAtOnce) {
    struct Case {
        const char* name;
        bool regulated;
    };
    for (const Case& c : {Case{"regulated", true}, Case{"unregulated", false}}) {
        SCOPED_TRACE(c.name);
        Options options = test::smallRun();
        options.paused = true;
        options.regulated = c.regulated;
        Controller controller(options, 0);
        const ViewState before = waitSettled(controller);
        controller.live(2.0f, 5000.0);
        const ViewState after = controller.view();
        EXPECT_EQ(after.config.cfl, 2.0f);
        EXPECT_EQ(after.config.reynolds, c.regulated ? before.config.reynolds : 5000.0);
        EXPECT_EQ(after.stats.reynolds, c.regulated ? before.stats.reynolds : 5000.0);
        // The same twice is no change for the regulation switch.
        controller.regulate(c.regulated);
        EXPECT_EQ(controller.view().regulated, c.regulated);
        controller.singleStep();
        const ViewState stepped = waitFor(
            controller, [](const ViewState& v) { return v.settled && v.stats.steps == 1; }, "a step");
        if (!c.regulated) {
            EXPECT_EQ(stepped.stats.reynolds, 5000.0);
        }
    }
}

TEST_F(ControllerBehaviour, BenchmarkOptionsWaitForTheNextRebuild) {
    // Vorticity A cos(k x): the energy is A^2 / (4 k^2) and the enstrophy A^2 / 4.
    const int n = 16, k = 3;
    const double a = 2.0;
    test::TempFolder folder("controller-benchmark");
    std::vector<float> field(n * n);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) field[y * n + x] = static_cast<float>(a * std::cos(test::twoPi * k * x / n));
    test::writeBytes(folder / "initial.bin", test::littleEndian(field));

    Options options = test::smallRun(n);
    options.paused = true;
    Controller controller(options, 0);
    const ViewState before = waitSettled(controller);
    Options next = options;
    next.initial = folder / "initial.bin";
    controller.benchmark(next);
    test::waitPasses(controller, 3);
    const ViewState unchanged = controller.view();
    EXPECT_EQ(unchanged.generation, before.generation);
    EXPECT_EQ(unchanged.initialStats.energy, before.initialStats.energy);

    controller.reset();
    const ViewState after = waitFor(
        controller, [&](const ViewState& v) { return v.generation == before.generation + 1 && v.settled && v.ready; },
        "rebuilt");
    EXPECT_NEAR(after.initialStats.energy, a * a / (4 * k * k), 1e-6);
    EXPECT_NEAR(after.initialStats.enstrophy, a * a / 4, 1e-5);
}

TEST_F(ControllerBehaviour, ConfigureDuringABatchPublishesNothingOfTheOldGeneration) {
    Options options = test::smallRun(32);
    options.fixedBatch = true;
    options.batch = 100;
    Controller controller(options, 0);
    waitFor(
        controller, [](const ViewState& v) { return v.ready; }, "first frame");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // inside the first batch
    mirel::Config config = options.config;
    config.seed = 11;
    const double energy = mirel::Solver(config).inspect().energy;
    controller.configure(config);

    // Until the new generation has stepped, every view belongs to it alone.
    const auto stepped = [&] {
        const ViewState view = controller.view();
        EXPECT_EQ(view.generation, 2u);
        if (view.generation != 2u) return true;
        if (!view.history.empty()) {
            EXPECT_EQ(view.history.front(), energy);
            EXPECT_EQ(view.initialStats.energy, energy);
        }
        if (view.frame) {
            EXPECT_LE(static_cast<std::uint64_t>(view.frame->steps), view.stats.steps);
        }
        if (view.ready) {
            EXPECT_EQ(view.initialStats.steps, 0u);
        }
        return view.stats.steps > 0;
    };
    EXPECT_TRUE(test::pollUntil(stepped, test::patience, std::chrono::microseconds(200))) << "no step";
}

TEST_F(ControllerBehaviour, AHiddenCanvasTakesNoFrames) {
    Controller controller(test::smallRun(), 0);
    controller.visible(false);
    controller.configure(controller.view().config);  // a generation that is hidden from its start
    const ViewState hidden = waitSteps(controller, 200);
    EXPECT_EQ(hidden.generation, 2u);
    EXPECT_FALSE(hidden.ready);
    EXPECT_FALSE(hidden.frame);
    EXPECT_EQ(hidden.frames, 0u);

    controller.visible(true);
    const ViewState shown = waitFor(
        controller, [](const ViewState& v) { return v.ready; }, "a frame");
    ASSERT_TRUE(shown.frame);
    EXPECT_GT(shown.frames, 0u);
}

TEST_F(ControllerBehaviour, ReadersHoldingEveryFrameSlotStallFramesButNotSteps) {
    Controller controller(test::smallRun(), 0);
    std::vector<std::shared_ptr<mirel::Frame>> held;
    std::set<const void*> slots;
    while (held.size() < 3) {
        const ViewState view = waitFor(
            controller, [](const ViewState& v) { return v.ready; }, "a frame");
        if (slots.insert(view.frame->storage.get()).second) held.push_back(view.frame);
    }
    const ViewState stalled = controller.view();
    const ViewState later = waitSteps(controller, stalled.stats.steps + 100);
    EXPECT_EQ(later.frames, stalled.frames);
    EXPECT_EQ(later.frame, stalled.frame);

    held.clear();
    const ViewState resumed = waitFor(
        controller, [&](const ViewState& v) { return v.frames > stalled.frames; }, "frames again");
    EXPECT_GT(resumed.frame->steps, stalled.frame->steps);
}

TEST_F(ControllerBehaviour, HistoryKeepsTheLatest120Energies) {
    Options options = test::smallRun();
    options.paused = true;
    Controller controller(options, 0);
    std::vector<double> energies = {waitSettled(controller).stats.energy};
    for (std::uint64_t step = 1; step <= 130; ++step) {
        controller.singleStep();
        const ViewState view = waitFor(
            controller, [step](const ViewState& v) { return v.settled && v.stats.steps == step; }, "a step");
        if (view.stats.energy != energies.back()) energies.push_back(view.stats.energy);
    }
    ASSERT_GT(energies.size(), 120u);
    const std::vector<double> latest(energies.end() - 120, energies.end());
    EXPECT_EQ(controller.view().history, latest);
}

// Energy and enstrophy from the result files: sums over the full Fourier plane (Parseval for the
// enstrophy of the vorticity plane).
double energyOfSpectrum(const std::vector<float>& spectrum, int n) {
    double sum = 0.0;
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) {
            const int ky = r <= n / 2 ? r : r - n, kx = c <= n / 2 ? c : c - n;
            if (kx == 0 && ky == 0) continue;
            const double re = spectrum[2 * (n * r + c)], im = spectrum[2 * (n * r + c) + 1];
            sum += 0.5 * (re * re + im * im) / (kx * kx + ky * ky);
        }
    return sum;
}

double enstrophyOfVorticity(const std::vector<float>& fields, int n) {
    double sum = 0.0;
    for (int i = 0; i < n * n; ++i) sum += 0.5 * double(fields[i]) * fields[i];
    return sum / (n * n);
}

TEST_F(ControllerBehaviour, MeasuredRunsEndOnceAtTheirLimit) {
    struct Case {
        const char* name;
        void (*limit)(Options&);
    };
    const Case cases[] = {
        {"step limit",
         [](Options& o) {
             o.stepLimited = true;
             o.stepLimit = 25;
         }},
        {"end time", [](Options& o) { o.until = 2.5; }},
        {"turnovers, which win over an end time",
         [](Options& o) {
             o.untilTurnovers = 3.0;
             o.until = 100.0;
         }},
        {"wall seconds", [](Options& o) { o.wallSeconds = 0.3; }},
    };
    const int n = 16;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempFolder folder("controller-measured");
        Options options = test::smallRun(n);
        options.spectrum = folder / "spectrum.bin";
        options.fields = folder / "fields.bin";
        c.limit(options);
        Controller controller(options, 0);
        controller.startMeasurement();
        const ViewState done = waitFor(
            controller, [](const ViewState& v) { return v.finished && v.settled; }, "the end of the run");
        EXPECT_FALSE(done.running);
        EXPECT_EQ(done.generation, 2u);
        if (options.stepLimited) {
            EXPECT_EQ(done.stats.steps, 25u);
        }
        if (options.untilTurnovers) {
            EXPECT_NEAR(done.stats.simulationTime, 3.0 * done.initialStats.initialTurnoverTime, 1e-6);
        } else if (options.until) {
            EXPECT_NEAR(done.stats.simulationTime, 2.5, 1e-6);
        }
        if (options.wallSeconds > 0.0) {
            EXPECT_GE(done.elapsedSeconds, 0.3);
        }

        const std::vector<float> spectrum = test::floatsOf(options.spectrum), fields = test::floatsOf(options.fields);
        ASSERT_EQ(spectrum.size(), 2u * n * n);
        ASSERT_EQ(fields.size(), 3u * n * n);
        EXPECT_NEAR(energyOfSpectrum(spectrum, n), done.stats.energy, 1e-5 * done.stats.energy);
        EXPECT_NEAR(enstrophyOfVorticity(fields, n), done.stats.enstrophy, 1e-5 * done.stats.enstrophy);

        std::filesystem::remove(options.spectrum);
        std::filesystem::remove(options.fields);
        expectNoSteps(controller, done.stats.steps);
        EXPECT_FALSE(std::filesystem::exists(options.spectrum)) << "written once";
        EXPECT_FALSE(std::filesystem::exists(options.fields)) << "written once";

        // With the same limits a restarted run ends at its next batch.
        controller.running(true);
        const ViewState again = waitFor(
            controller, [](const ViewState& v) { return v.finished && v.settled; }, "the end of the restarted run");
        EXPECT_FALSE(again.running);
        EXPECT_TRUE(std::filesystem::exists(options.spectrum));
        EXPECT_TRUE(std::filesystem::exists(options.fields));
    }
}

// An advance of no steps (a run at its step limit resumed, or stepped once) adds no GPU time.
TEST_F(ControllerBehaviour, AnAdvanceOfNoStepsAddsNoGpuTime) {
    struct Case {
        const char* name;
        void (*resume)(Controller&);
    };
    const Case cases[] = {
        {"running again", [](Controller& c) { c.running(true); }},
        {"single step", [](Controller& c) { c.singleStep(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Options options = test::smallRun();
        options.stepLimited = true;
        options.stepLimit = 10;
        Controller controller(options, 0);
        controller.startMeasurement();
        const ViewState done = waitFor(
            controller, [](const ViewState& v) { return v.finished && v.settled; }, "the end of the run");
        ASSERT_EQ(done.stats.steps, 10u);
        ASSERT_GT(done.gpuSeconds, 0.0);
        c.resume(controller);
        const ViewState again = waitFor(
            controller, [&](const ViewState& v) { return v.batches > done.batches && v.settled; }, "one more advance");
        EXPECT_EQ(again.stats.steps, done.stats.steps);
        EXPECT_EQ(again.gpuSeconds, done.gpuSeconds);
    }
}

// Destroys the controller on another thread; true when that returned within limit.
bool destroyedWithin(std::unique_ptr<Controller> controller, std::chrono::seconds limit) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([done, c = std::move(controller)]() mutable {
        c.reset();
        done->set_value();
    }).detach();
    if (finished.wait_for(limit) == std::future_status::ready) return true;
    ADD_FAILURE() << "the destructor hangs";
    std::abort();
}

TEST_F(ControllerBehaviour, DestructionReturnsPromptlyWhetherIdleOrStepping) {
    for (const bool paused : {true, false}) {
        SCOPED_TRACE(paused ? "idle" : "stepping");
        Options options = test::smallRun(64);
        options.paused = paused;
        auto controller = std::make_unique<Controller>(options, 0);
        if (paused)
            waitSettled(*controller);
        else
            waitSteps(*controller, 20);
        EXPECT_TRUE(destroyedWithin(std::move(controller), std::chrono::seconds(30)));
    }
}

}  // namespace
