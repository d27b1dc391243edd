#pragma once

// A real controller thread on a small grid, watched through its published view.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "bridge/ui/controller.hpp"
#include "quellmar/quellmar.h"
#include "support/polling.hpp"

namespace test {

using View = std::function<bool(const mirel::ViewState&)>;

// Long enough for a loaded machine or a sanitizer build; a controller that is merely slow passes.
constexpr auto patience = std::chrono::seconds(120);

inline mirel::Options smallRun(int resolution = 16) {
    mirel::Options options;
    options.config.resolution = resolution;
    options.config.reynolds = 1000.0;
    options.regulated = false;
    return options;
}

// The first view that satisfies condition; fails the test when none does in time.
inline mirel::ViewState waitFor(const mirel::Controller& controller, const View& condition, const char* what) {
    mirel::ViewState view;
    const auto seen = [&] {
        view = controller.view();
        return condition(view);
    };
    if (!pollUntil(seen, patience, std::chrono::milliseconds(1))) ADD_FAILURE() << "timed out waiting for: " << what;
    return view;
}

// Until the thread has begun passes more passes of its loop: with one, a pass that sees every
// change made before this call is under way; with n + 1, n such passes have ended. What the
// thread does or publishes for a change takes two passes, so three show it or its absence.
inline void waitPasses(const mirel::Controller& controller, std::uint64_t passes) {
    const std::uint64_t target = controller.passes() + passes;
    // A pass takes microseconds when there is nothing to step.
    if (!pollUntil([&] { return controller.passes() >= target; }, patience, std::chrono::microseconds(0)))
        ADD_FAILURE() << "timed out waiting for " << passes << " passes of the loop";
}

// Idle with a frame and statistics of the current generation.
inline mirel::ViewState waitSettled(const mirel::Controller& controller) {
    return waitFor(
        controller, [](const mirel::ViewState& v) { return v.settled && v.ready; }, "settled and ready");
}

// Until the simulation has made at least steps time steps in this generation.
inline mirel::ViewState waitSteps(const mirel::Controller& controller, std::uint64_t steps) {
    return waitFor(
        controller, [steps](const mirel::ViewState& v) { return v.stats.steps >= steps; }, "steps");
}

// Controllers need the library initialised once per process, as the host does.
class ControllerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char* document = qm_initialize(nullptr);
        ASSERT_NE(document, nullptr);
        qm_string_free(document);
    }
};

}  // namespace test
