// Loading the renderer module is process-wide state, so this test has a process of its own: a
// resources folder without the module, then one whose module has no factory, close the handle
// with the binding's message, and each later attach tries the load again, until the module is
// there.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "renderer/x_session.hpp"
#include "support/engine_fixture.hpp"
#include "support/temp_folder.hpp"
#include "support/ui_fixture.hpp"

namespace {

using nlohmann::json;
using test::errorOf;
using test::taken;
using test::UI;

void initialize(const std::filesystem::path& resources) {
    const json document = json::parse(taken(qm_initialize(resources.c_str())));
    EXPECT_TRUE(document["capabilities"]["native_rendering"].get<bool>()) << document;
    EXPECT_FALSE(document.contains("native_rendering_error"));
}

// The render error that closes a handle attached to window.
std::string renderError(const UI& ui, unsigned long window) {
    EXPECT_EQ(ui.attach(window).dump(), "{}");
    const json report = ui.await(test::hasError, "with the render error");
    return test::hasError(report) ? report["error_message"].get<std::string>() : "";
}

TEST(RendererLoading, EveryAttachTriesAgainUntilTheModuleLoads) {
    const test::TempFolder empty("quellmar-no-module");
    const test::TempFolder foreign("quellmar-no-factory");
    std::filesystem::copy_file(QM_NO_FACTORY, foreign / "libquellmar_gl.so");

    initialize(empty.root);
    const std::string missing = "Cannot load Linux renderer: " + (empty / "libquellmar_gl.so").string() + ": ";
    {
        UI ui;
        EXPECT_EQ(renderError(ui, 7).rfind(missing, 0), 0u);
        test::Engine engine(json{{"resolution", 16}});
        EXPECT_EQ(errorOf(engine({{"op", "export"}, {"png", (empty / "f.png").string()}})).rfind(missing, 0), 0u);
    }

    initialize(foreign.root);
    {
        UI ui;
        EXPECT_EQ(renderError(ui, 7), "Incompatible Linux rendering module.");
    }

    // The module appears in the folder that had none; the next attach loads it.
    std::filesystem::create_symlink(QM_MODULE, empty / "libquellmar_gl.so");
    initialize(empty.root);
    UI ui;
    if (std::getenv("DISPLAY") == nullptr) {
        EXPECT_EQ(renderError(ui, 7), "OpenGL rendering requires a local X11/Xwayland display (DISPLAY).");
        return;
    }
    test::XSession x;
    ASSERT_EQ(ui.attach(x.hostWindow(64, 48)).dump(), "{}");
    const json report = ui.await([](const json& r) { return r["canvas"]["width_points"] == 64; }, "with a renderer");
    EXPECT_TRUE(report["error_message"].is_null()) << report;
    EXPECT_EQ(report["canvas"]["height_points"], 48.0);
}

}  // namespace
