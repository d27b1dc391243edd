// Failures on the controller thread reach the view and stay there until a new generation, and
// the thread owns its solver: kept or rebuilt by configuration, destroyed when it ends.
#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <string>

#include "bridge/ui/controller.hpp"
#include "support/controller_fixture.hpp"
#include "support/faults.hpp"

namespace {

using mirel::Controller;
using mirel::Options;
using mirel::ViewState;
using test::failure;
using test::waitFor;
using test::waitSettled;
using test::waitSteps;

using ControllerFaults = test::FaultTest<test::ControllerTest>;

ViewState waitError(const Controller& controller) {
    return waitFor(
        controller, [](const ViewState& v) { return !v.errorMessage.empty() && v.settled; }, "an error");
}

// What ends the failed state: each clears the message at once; all but dismissError rebuild.
struct Recovery {
    const char* name;
    void (*apply)(Controller&);
    bool rebuilds;
};
const Recovery recoveries[] = {
    {"dismissError", [](Controller& c) { c.dismissError(); }, false},
    {"configure", [](Controller& c) { c.configure(c.view().config); }, true},
    {"reset", [](Controller& c) { c.reset(); }, true},
    {"startMeasurement", [](Controller& c) { c.startMeasurement(); }, true},
};

TEST_F(ControllerFaults, AFailedBuildIsPublishedUntilANewGeneration) {
    for (const Recovery& recovery : recoveries) {
        SCOPED_TRACE(recovery.name);
        emu::failCall("cudaMalloc", 1, cudaErrorMemoryAllocation);
        Controller controller(test::smallRun(), 0);
        const ViewState failed = waitError(controller);
        EXPECT_EQ(failed.errorMessage, failure("cudaMalloc(&ptr,bytes)", cudaErrorMemoryAllocation));
        EXPECT_FALSE(failed.running);
        EXPECT_FALSE(failed.ready);

        // Not retried, neither by running nor by a single step.
        controller.running(true);
        controller.singleStep();
        test::waitPasses(controller, 3);
        const ViewState still = waitFor(
            controller, [](const ViewState& v) { return v.settled; }, "idle");
        EXPECT_EQ(still.errorMessage, failed.errorMessage);
        EXPECT_EQ(still.stats.steps, 0u);
        EXPECT_FALSE(still.ready);

        recovery.apply(controller);
        EXPECT_TRUE(controller.view().errorMessage.empty());
        if (recovery.rebuilds) {
            const ViewState rebuilt = waitFor(
                controller, [](const ViewState& v) { return v.ready; }, "rebuilt");
            EXPECT_TRUE(rebuilt.errorMessage.empty()) << rebuilt.errorMessage;
        } else {
            test::waitPasses(controller, 3);
            EXPECT_FALSE(controller.view().ready);
        }
    }
}

TEST_F(ControllerFaults, AFailedAdvanceStopsSteppingUntilReset) {
    Controller controller(test::smallRun(), 0);
    waitSteps(controller, 5);
    emu::failLaunches(1);
    const ViewState failed = waitError(controller);
    EXPECT_NE(failed.errorMessage.find(cudaGetErrorString(cudaErrorLaunchFailure)), std::string::npos)
        << failed.errorMessage;
    EXPECT_FALSE(failed.running);
    emu::reset();  // the emulator would report the launch failure once more

    controller.running(true);
    test::waitPasses(controller, 3);
    const ViewState still = controller.view();
    EXPECT_EQ(still.stats.steps, failed.stats.steps);
    EXPECT_EQ(still.errorMessage, failed.errorMessage);

    controller.reset();
    const ViewState recovered = waitSteps(controller, 5);
    EXPECT_TRUE(recovered.errorMessage.empty()) << recovered.errorMessage << " / first: " << failed.errorMessage;
    EXPECT_TRUE(recovered.running);
}

// A failed controller drops single steps, but not one asked for in the new generation that
// follows. Here a new generation and a step arrive together just after a pass of the failed
// controller has taken its copy, which is when it decides whether to wait.
TEST_F(ControllerFaults, AStepAfterANewGenerationIsMadeOnAFailedController) {
    Options options = test::smallRun();
    options.paused = true;
    const mirel::Config config = options.config;
    Controller controller(options, 0);
    waitSettled(controller);
    for (std::uint64_t generation = 2; generation < 200; ++generation) {
        SCOPED_TRACE(generation);
        emu::failLaunches(1);
        controller.singleStep();
        waitError(controller);
        emu::reset();
        // A live change, which the failed controller leaves alone, wakes it for one more pass.
        controller.live(config.cfl, config.reynolds);
        test::waitPasses(controller, 1);
        controller.configure(config);
        controller.singleStep();
        const ViewState stepped = waitFor(
            controller, [&](const ViewState& v) { return v.generation == generation && v.ready && v.settled; }, "rebuilt");
        ASSERT_TRUE(stepped.errorMessage.empty()) << stepped.errorMessage;
        ASSERT_EQ(stepped.stats.steps, 1u);
    }
}

TEST_F(ControllerFaults, DeviceSelectionFailureEndsTheThread) {
    emu::failCall("cudaSetDevice", 1, cudaErrorInvalidDevice);
    const Options options = test::smallRun();
    Controller controller(options, 0);
    const ViewState failed = waitError(controller);
    EXPECT_EQ(failed.errorMessage, failure("cudaSetDevice(device)", cudaErrorInvalidDevice));
    EXPECT_FALSE(failed.running);
    EXPECT_FALSE(failed.ready);
    EXPECT_EQ(failed.stats.reynolds, 0.0);
    // Nothing published, so no reached Reynolds number to keep.
    controller.regulate(true);
    controller.regulate(false);
    EXPECT_EQ(controller.view().config.reynolds, options.config.reynolds);
}

// The solver that the thread keeps is seen through the frame slots a reader holds: released,
// they stay allocated with a kept solver and are freed with a replaced one.
TEST_F(ControllerFaults, OnlyReynoldsAndCflChangesKeepTheSolver) {
    struct Case {
        const char* name;
        void (*change)(mirel::Config&);
        bool kept;
    };
    const Case cases[] = {
        {"Reynolds number", [](mirel::Config& c) { c.reynolds = 2000.0; }, true},
        {"CFL", [](mirel::Config& c) { c.cfl = 1.0f; }, true},
        {"nothing", [](mirel::Config&) {}, true},
        {"resolution", [](mirel::Config& c) { c.resolution = 32; }, false},
        {"k0", [](mirel::Config& c) { c.k0 = 2; }, false},
        {"seed", [](mirel::Config& c) { c.seed = 7; }, false},
        {"fixed step", [](mirel::Config& c) { c.fixedDt = 0.01f; }, false},
        {"integrator", [](mirel::Config& c) { c.method = 0; }, false},
        {"operator", [](mirel::Config& c) { c.form = 1; }, false},
        {"start spectrum", [](mirel::Config& c) { c.startSpectrum = 1; }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Options options = test::smallRun();
        options.paused = true;
        Controller controller(options, 0);
        std::shared_ptr<mirel::Frame> first = waitSettled(controller).frame;
        controller.singleStep();
        std::shared_ptr<mirel::Frame> second =
            waitFor(
                controller, [](const ViewState& v) { return v.settled && v.stats.steps == 1; }, "a step")
                .frame;
        ASSERT_NE(first->storage, second->storage);

        mirel::Config config = options.config;
        c.change(config);
        controller.configure(config);
        const ViewState rebuilt = waitSettled(controller);
        ASSERT_EQ(rebuilt.generation, 2u);
        EXPECT_EQ(rebuilt.stats.steps, 0u);
        const std::size_t held = emu::liveAllocations();
        first.reset();
        second.reset();
        EXPECT_EQ(emu::liveAllocations(), c.kept ? held : held - 2);
    }
}

TEST_F(ControllerFaults, TheThreadReleasesItsSolver) {
    const std::size_t allocations = emu::liveAllocations();
    const std::size_t pinned = emu::livePinnedAllocations();
    {
        Controller controller(test::smallRun(), 0);
        waitSteps(controller, 5);
    }
    EXPECT_EQ(emu::liveAllocations(), allocations);
    EXPECT_EQ(emu::livePinnedAllocations(), pinned);
}

}  // namespace
