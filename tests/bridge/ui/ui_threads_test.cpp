// Requests in quick succession from the main thread while the controller thread steps and the
// render thread fails: the handle's lock is always taken before the controller's, every reply is
// a whole report or one of the documented refusals, and the handle still ends promptly.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/ui_fixture.hpp"

namespace {

using nlohmann::json;
using test::errorOf;
using test::UI;

class UIThreads : public test::UITest {
protected:
    // What a request may answer on a handle whose render thread has stopped (or, before that, on
    // a handle without a finished frame).
    static bool documentedRefusal(const std::string& message) {
        return message == "No completed frame." || message == "No native renderer." || message == "Renderer stopped." ||
               rendererMissing(message);
    }
};

TEST_F(UIThreads, RequestsWhileTheControllerRuns) {
    const std::vector<json> requests = {
        {{"op", "get"}},
        {{"op", "set"}, {"cfl", 2}, {"log_reynolds", 3.2}},
        {{"op", "set"}, {"display", "speed"}, {"palette", "glacier"}},
        {{"op", "set"}, {"regulated", false}},
        {{"op", "set"}, {"regulated", true}, {"flow", true}},
        {{"op", "seed"}},
        {{"op", "configure"}, {"k0", 2}},
        {{"op", "configure"}, {"k0", 4}, {"integrator", "imexRK3"}, {"cap_cfl", true}},
        {{"op", "toggle"}},
        {{"op", "step"}},
        {{"op", "running"}, {"value", true}},
        {{"op", "visible"}, {"value", false}},
        {{"op", "visible"}, {"value", true}},
        {{"op", "reset"}},
        {{"op", "benchmark"}, {"batch", 4}},
        {{"op", "export"}},
        {{"op", "dismiss"}},
        {{"op", "set"}, {"display", "vorticity"}, {"flow", false}, {"canvas_scale", 2}},
        {{"op", "start"}},
    };
    auto ui = std::make_unique<UI>();
    (*ui)({{"op", "configure"}, {"resolution", 16}});
    ASSERT_EQ((*ui)({{"op", "start"}})["generation"], 1);

    int reports = 0;
    for (int round = 0; round < 40; ++round) {
        if (round == 10) {
            EXPECT_EQ(ui->attach(7).dump(), "{}");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // lets the controller thread step
        for (const json& request : requests) {
            const json reply = (*ui)(request);
            if (reply.contains("error")) {
                EXPECT_TRUE(documentedRefusal(errorOf(reply))) << request << " " << reply;
            } else {
                ++reports;
                EXPECT_TRUE(reply.contains("generation") && reply.contains("performance")) << reply;
            }
        }
    }
    EXPECT_GT(reports, 0);

    const auto begin = std::chrono::steady_clock::now();
    ui.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
}

}  // namespace
