// A started UI runs its simulation on the controller thread: what successive reports show, how
// requests reach the running controller, and what a closed handle still does.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>

#include <nlohmann/json.hpp>

#include "support/file_fixture.hpp"
#include "support/messages.hpp"
#include "support/temp_folder.hpp"
#include "support/ui_fixture.hpp"
#include "support/watchdog.hpp"

namespace {

using nlohmann::json;
using test::errorOf;
using test::isReady;
using test::UI;

constexpr int n = 16;
// Under regulation a new grid starts at its reference Reynolds number.
const json small = {{"op", "configure"}, {"resolution", n}};
constexpr double smallReynolds = 330.9462271210964;

std::uint64_t steps(const json& report) { return report.contains("stats") ? report["stats"]["steps"].get<std::uint64_t>() : 0; }

bool settled(const json& report) { return report["settled"].get<bool>(); }

class Run : public test::UITest {
protected:
    // A UI on the small grid, started and showing its first frame.
    static json started(const UI& ui) {
        EXPECT_EQ(errorOf(ui(small)), "");
        EXPECT_EQ(ui({{"op", "start"}})["generation"], 1);
        return ui.await(isReady, "ready");
    }

    // Starts a measured run on the 32² grid, whose spectrum is more than a small FIFO holds.
    static void measureInto(const UI& ui, const std::filesystem::path& spectrum) {
        ui({{"op", "configure"}, {"resolution", 32}});
        ui({{"op", "benchmark"}, {"until", 0.05}, {"spectrum", spectrum.string()}});
        ui({{"op", "start"}});
    }
};

TEST_F(Run, ReportsFollowTheSimulation) {
    UI ui;
    json report = started(ui);
    EXPECT_EQ(report["config"]["resolution"], n);
    EXPECT_EQ(report["config"]["reynolds"], smallReynolds);
    const std::uint64_t first = steps(report);
    report = ui.await([&](const json& r) { return steps(r) > first + 20 && r["performance"]["steps_per_s"] > 0.0; },
                      "with steps and a step rate");
    const json& performance = report["performance"];
    EXPECT_DOUBLE_EQ(performance["milliseconds_per_step"].get<double>(), 1000.0 / performance["steps_per_s"].get<double>());
    EXPECT_GT(performance["simtime_per_s"].get<double>(), 0.0);
    EXPECT_GT(performance["turnovers_per_s"].get<double>(), 0.0);
    EXPECT_GE(performance["batch_steps"].get<int>(), 1);
    EXPECT_GT(report["elapsed_seconds"].get<double>(), 0.0);
    EXPECT_GT(report["allocated_bytes"].get<std::uint64_t>(), 0u);
    EXPECT_TRUE(report["running"].get<bool>());
    EXPECT_EQ(report["generation"], 1);
    ASSERT_FALSE(report["history"].empty());
    EXPECT_EQ(report["history"].back(), report["stats"]["energy"]);
    EXPECT_EQ(report["palinstrophy_control"], 10000.0 * report["stats"]["palinstrophy_ratio"].get<double>());

    // Regulation moves the Reynolds number away from the configured one, and the report follows
    // the simulation's value.
    report = ui.await([](const json& r) { return r["effective_reynolds"] != r["config"]["reynolds"]; },
                      "with a regulated Reynolds number");
    EXPECT_EQ(report["effective_reynolds"], report["stats"]["reynolds"]);
    EXPECT_EQ(report["config"]["reynolds"], smallReynolds);

    // A second start keeps the controller it has: the run goes on.
    const std::uint64_t reached = steps(report);
    report = ui({{"op", "start"}});
    EXPECT_GE(steps(report), reached);
    EXPECT_EQ(report["generation"], 1);
}

TEST_F(Run, RegulationOffKeepsTheReachedReynoldsNumber) {
    UI ui;
    started(ui);
    ui.await([](const json& r) { return r["effective_reynolds"] != r["config"]["reynolds"]; }, "regulated");
    const json report = ui({{"op", "set"}, {"regulated", false}});
    EXPECT_FALSE(report["regulated"].get<bool>());
    EXPECT_NE(report["config"]["reynolds"], smallReynolds);
    EXPECT_EQ(report["effective_reynolds"], report["config"]["reynolds"]);
}

TEST_F(Run, LiveParameters) {
    UI ui;
    started(ui);
    json report = ui({{"op", "set"}, {"regulated", false}, {"cfl", 1.5}, {"log_reynolds", 3.5}});
    EXPECT_EQ(report["config"]["cfl"], 1.5);
    EXPECT_EQ(report["config"]["reynolds"], std::pow(10.0, 3.5));
    EXPECT_EQ(report["generation"], 1);
    EXPECT_EQ(report["effective_reynolds"], std::pow(10.0, 3.5));
}

TEST_F(Run, SpeedDisplayAsksForVelocity) {
    UI ui;
    EXPECT_EQ(started(ui)["frame"]["max_speed"], 0.0);
    ui({{"op", "set"}, {"display", "speed"}});
    ui.await([](const json& r) { return r["frame"]["max_speed"] > 0.0; }, "with a velocity frame");
}

TEST_F(Run, HiddenCanvasTakesNoFrames) {
    UI ui;
    ui(small);
    ui({{"op", "visible"}, {"value", false}});
    ui({{"op", "start"}});
    const json report = ui.await([](const json& r) { return r["performance"]["steps_per_s"] > 0.0; }, "running");
    EXPECT_FALSE(isReady(report)) << report;
    ui({{"op", "visible"}, {"value", true}});
    ui.await(isReady, "ready once visible");
}

TEST_F(Run, PauseAndSingleStep) {
    UI ui;
    started(ui);
    EXPECT_FALSE(ui({{"op", "toggle"}})["running"].get<bool>());
    const std::uint64_t paused = steps(ui.await(settled, "settled after pausing"));
    json report = ui({{"op", "step"}});
    EXPECT_FALSE(report["running"].get<bool>());
    report = ui.await([&](const json& r) { return settled(r) && steps(r) > paused; }, "after one step");
    EXPECT_EQ(steps(report), paused + 1);
    EXPECT_TRUE(ui({{"op", "running"}, {"value", true}})["running"].get<bool>());
    ui.await([&](const json& r) { return steps(r) > paused + 1; }, "running again");
}

// Configuration changes reach the controller as new generations, unless nothing changed.
TEST_F(Run, Generations) {
    UI ui;
    started(ui);
    EXPECT_EQ(ui(small)["generation"], 1);
    EXPECT_EQ(ui({{"op", "configure"}})["generation"], 1);
    json report = ui({{"op", "seed"}});
    EXPECT_EQ(report["generation"], 2);
    EXPECT_EQ(report["config"]["seed"], "3");
    EXPECT_FALSE(isReady(report));
    report = ui({{"op", "configure"}, {"resolution", 32}});
    EXPECT_EQ(report["generation"], 3);
    EXPECT_EQ(report["config"]["reynolds"], 692.9910998321756) << "the reference Reynolds number of (32, 4)";
    EXPECT_EQ(ui({{"op", "reset"}})["generation"], 4);
    EXPECT_EQ(ui.await(isReady, "ready at 32")["frame"]["grid_size"], 32);
}

// A measured run ends at its end time and writes its spectrum; limits that were refused left the
// stored ones as they were.
TEST_F(Run, MeasuredRun) {
    test::TempFolder folder("quellmar-ui-run");
    const std::filesystem::path spectrum = folder / "spectrum.bin";
    UI ui;
    ui(small);
    EXPECT_EQ(errorOf(ui({{"op", "benchmark"}, {"until", 0.05}, {"spectrum", spectrum.string()}})), "");
    EXPECT_EQ(errorOf(ui({{"op", "benchmark"}, {"until", nullptr}, {"batch", 0}})), test::invalidLimits);
    ui({{"op", "start"}});
    const json report = ui.await([](const json& r) { return settled(r) && !r["running"].get<bool>(); }, "finished");
    EXPECT_GE(report["stats"]["simulation_time"].get<double>(), 0.05 * (1 - 1e-12));
    EXPECT_EQ(std::filesystem::file_size(spectrum), 8u * n * n);
}

// A FIFO without a reader is refused at once instead of waiting for one.
TEST_F(Run, MeasuredRunIntoAFifoWithoutAReaderFails) {
    test::TempFolder folder("quellmar-ui-fifo");
    const std::filesystem::path fifo = folder / "spectrum.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    const test::Watchdog watchdog(60.0, "a measured run writing into a FIFO without a reader");
    UI ui;
    ui(small);
    ui({{"op", "benchmark"}, {"until", 0.05}, {"spectrum", fifo.string()}});
    ui({{"op", "start"}});
    const json report = ui.await(test::hasError, "with the file's error");
    EXPECT_EQ(report["error_message"], "Cannot write export file.");
    EXPECT_FALSE(report["running"].get<bool>());
}

// A reader that never reads holds the measured run's spectrum, but no request: each is answered
// while the file waits, and destroying the handle gives the write up.
TEST_F(Run, MeasuredRunIntoAStalledReaderHoldsNoRequest) {
    test::TempFolder folder("quellmar-ui-stalled");
    const int reader = test::smallFifo(folder / "spectrum.fifo");
    ASSERT_GE(reader, 0);
    const test::Watchdog watchdog(60.0, "a measured run writing into a FIFO that is never read");
    {
        UI ui;
        measureInto(ui, folder / "spectrum.fifo");
        ui.await([](const json& r) { return !r["running"].get<bool>(); }, "with the run ended");
        for (const json& request : {json{{"op", "get"}}, json{{"op", "visible"}, {"value", false}}, json{{"op", "get"}}}) {
            const json report = ui(request);
            EXPECT_FALSE(report.contains("error")) << report;
            EXPECT_FALSE(settled(report)) << "the spectrum is still waiting for its reader";
            EXPECT_TRUE(report["error_message"].is_null()) << report;
        }
    }
    close(reader);
}

// A reader that leaves after 10 bytes fails the measured run's spectrum with the file error; the
// host is not ended by SIGPIPE.
TEST_F(Run, MeasuredRunIntoAReaderThatLeavesFails) {
    test::TempFolder folder("quellmar-ui-leaving");
    const int reader = test::smallFifo(folder / "spectrum.fifo");
    ASSERT_GE(reader, 0);
    std::thread leaving(test::readAndLeave, reader, 10);
    UI ui;
    measureInto(ui, folder / "spectrum.fifo");
    EXPECT_EQ(ui.await(test::hasError, "with the file's error")["error_message"], "Cannot write export file.");
    leaving.join();
}

TEST_F(Run, NullEndTimeClearsTheStoredOne) {
    UI ui;
    ui(small);
    ui({{"op", "benchmark"}, {"until", 0.05}});
    ui({{"op", "benchmark"}, {"until", nullptr}});
    ui({{"op", "start"}});
    const json report = ui.await([](const json& r) { return r.contains("stats") && r["stats"]["simulation_time"] > 0.1; },
                                 "past the cleared end time");
    EXPECT_TRUE(report["running"].get<bool>());
}

TEST_F(Run, WallClockLimit) {
    UI ui;
    ui(small);
    ui({{"op", "benchmark"}, {"wall_seconds", 0.2}});
    ui({{"op", "start"}});
    const json report = ui.await([](const json& r) { return settled(r) && !r["running"].get<bool>(); }, "finished");
    EXPECT_GE(report["elapsed_seconds"].get<double>(), 0.2);
}

// Limits given to a running controller take effect at its next rebuild.
TEST_F(Run, FixedBatchAfterReset) {
    UI ui;
    started(ui);
    ui({{"op", "benchmark"}, {"batch", 3}});
    EXPECT_EQ(ui({{"op", "reset"}})["generation"], 2);
    for (int i = 0; i < 20; ++i) {
        const json report = ui.await([&](const json& r) { return isReady(r) && steps(r) > 3u * i; }, "stepping");
        EXPECT_EQ(steps(report) % 3, 0u) << report;
    }
}

TEST_F(Run, ExportNeedsARenderer) {
    UI ui;
    started(ui);
    EXPECT_EQ(ui({{"op", "export"}, {"fields", "/nonexistent/fields.bin"}}).dump(), R"({"error":"No native renderer."})");
    EXPECT_FALSE(ui.report()["exporting"].get<bool>());
}

// After the render thread gave up, the handle answers but will not run again; pausing works.
TEST_F(Run, ClosedHandle) {
    UI ui;
    started(ui);
    const std::string stored = closedByRenderer(ui);
    json report = ui.await(settled, "paused by the render thread");
    EXPECT_FALSE(report["running"].get<bool>());
    for (const json& request : {json{{"op", "step"}}, json{{"op", "running"}, {"value", true}}, json{{"op", "toggle"}},
                                json{{"op", "start"}}, json{{"op", "export"}, {"fields", "/nonexistent/fields.bin"}}})
        EXPECT_EQ(ui(request).dump(), json({{"error", stored}}).dump()) << request;
    EXPECT_EQ(errorOf(ui({{"op", "running"}, {"value", false}})), "");
    EXPECT_EQ(ui({{"op", "reset"}})["generation"], 2);
    EXPECT_EQ(ui({{"op", "seed"}})["generation"], 3);

    report = ui({{"op", "dismiss"}});
    EXPECT_TRUE(report["error_message"].is_null());
    EXPECT_EQ(ui({{"op", "start"}}).dump(), R"({"error":"Renderer stopped."})");
    EXPECT_EQ(ui({{"op", "toggle"}}).dump(), R"({"error":"Renderer stopped."})");
    ui.await(isReady, "ready while paused");
    EXPECT_EQ(ui({{"op", "export"}}).dump(), R"({"error":"No native renderer."})");
}

}  // namespace
