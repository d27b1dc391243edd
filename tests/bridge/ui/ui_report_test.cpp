// The status report as the host reads it: its exact text for a fresh handle, and the keys that
// appear only under their condition.
#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "support/temp_folder.hpp"
#include "support/ui_fixture.hpp"

namespace {

using nlohmann::json;
using test::UI;

const json small = {{"op", "configure"}, {"resolution", 16}, {"reynolds", 1000}};

class Report : public test::UITest {};

TEST_F(Report, FreshHandleAsText) {
    UI ui;
    const std::string gpu = capabilities["gpu"].get<std::string>();
    const std::string expected =
        R"({"allocated_bytes":0,"backend":"CUDA / VkFFT","color_range":"sigma",)"
        R"("config":{"cfl":3.0,"fixed_dt":null,"integrator":"etdrk4","k0":4,"operator":"stress",)"
        R"("padded_resolution":1536,"resolution":1024,"reynolds":27898.36614974335,"seed":"2",)"
        R"("start_spectrum":"PAO","viscosity":3.5844394005835056e-05},)"
        R"("display":"vorticity","effective_reynolds":27898.36614974335,"elapsed_seconds":0.0,"error_message":null,)"
        R"("exporting":false,"exposure":1.2,"flow":false,"focused":false,"generation":0,"gpu":")" +
        gpu +
        R"(","history":[],"palette":"ember","palinstrophy_control":0.0,)"
        R"("performance":{"batch_steps":1,"milliseconds_per_step":0.0,"simtime_per_s":0.0,"steps_per_s":0.0,)"
        R"("turnovers_per_s":0.0},"presentations":0,"ready":false,"regulated":true,)"
        R"("rendering":{"api":"CUDA / OpenGL","device_copy_bytes":0,"draw_submit_seconds":0.0,)"
        R"("presentation_seconds":0.0,"swap_seconds":0.0,"upload_seconds":0.0,"uploads":0},)"
        R"("running":true,"settled":false,"sigma":2.5})";
    EXPECT_EQ(test::uiText(ui.get(), R"({"op":"get"})"), expected);
    EXPECT_EQ(test::uiText(ui.get(), R"({"op":"flush"})"), expected);
}

// "stats" and "frame" come with the first frame of a generation and go with the next
// configuration; they are never null.
TEST_F(Report, StatsAndFrameOnlyWhenReady) {
    UI ui;
    ui(small);
    json report = ui({{"op", "start"}});
    int checked = 0;
    const auto consistent = [&](const json& r) {
        ++checked;
        EXPECT_EQ(r.contains("stats"), r["ready"].get<bool>()) << r;
        EXPECT_EQ(r.contains("frame"), r["ready"].get<bool>()) << r;
        EXPECT_FALSE(r.contains("canvas")) << r;
        return r["ready"].get<bool>();
    };
    consistent(report);
    report = ui.await(consistent, "ready");
    EXPECT_EQ(report["frame"]["grid_size"], 16);
    EXPECT_TRUE(report["stats"]["is_finite"].get<bool>()) << report;
    EXPECT_EQ(report["stats"]["reynolds"], report["effective_reynolds"]);

    consistent(ui({{"op", "configure"}, {"k0", 2}}));
    report = ui.await(consistent, "ready after the new configuration");
    EXPECT_EQ(report["generation"], 2);
    EXPECT_GT(checked, 2);
}

TEST_F(Report, CanvasOnceAttached) {
    UI ui;
    ui({{"op", "set"}, {"canvas_scale", 2}});
    EXPECT_FALSE(ui.report().contains("canvas"));
    closedByRenderer(ui);
    // No renderer ever measured the window.
    EXPECT_EQ(ui.report()["canvas"].dump(), R"({"height_points":0.0,"scale":2.0,"visible":false,"width_points":0.0})");
}

// The render thread's error outranks the controller's; "dismiss" clears both.
TEST_F(Report, ErrorMessagePrecedence) {
    test::TempFolder folder("quellmar-ui-report");
    UI ui;
    ui(small);
    ui({{"op", "benchmark"}, {"until", 0.01}, {"spectrum", (folder / "missing/spectrum.bin").string()}});
    ui({{"op", "start"}});
    EXPECT_EQ(ui.await(test::hasError, "with the controller's error")["error_message"], "Cannot write export file.");

    closedByRenderer(ui);

    EXPECT_TRUE(ui({{"op", "dismiss"}})["error_message"].is_null());
}

// The loader quotes the module's path back, here with a byte that is not UTF-8 in a folder name.
// The stored message reaches every report with that byte as U+FFFD, and requests go on working.
TEST_F(Report, AStoredFailureThatIsNotUtf8IsReportedMended) {
    if (!capabilities["capabilities"]["native_rendering"].get<bool>()) GTEST_SKIP() << "the message names no path";
    const std::string folder = std::string(resources) + "/caf\xe9-\xff";
    ASSERT_FALSE(json::parse(test::taken(qm_initialize(folder.c_str()))).contains("error"));
    UI ui;
    const std::string message = closedByRenderer(ui);
    const std::string mended = std::string(resources) + "/caf\xef\xbf\xbd-\xef\xbf\xbd/libquellmar_gl.so";
    EXPECT_NE(message.find(mended), std::string::npos) << message;
    const json report = ui({{"op", "set"}, {"palette", "glacier"}});
    EXPECT_EQ(report["palette"], "glacier") << report;
    EXPECT_EQ(report["error_message"], message);
    ASSERT_FALSE(json::parse(test::taken(qm_initialize(resources))).contains("error"));
}

}  // namespace
