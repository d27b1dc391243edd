// The render thread of an attached UI handle, through the C interface on an X display: it
// presents the simulation into the host's window at most sixty times a second and counts what
// that cost per generation, follows the canvas, turns overlay clicks into commands, and serves
// export requests until a failure closes the handle.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "picture_files.hpp"
#include "renderer/png_file.hpp"
#include "rendering_fixture.hpp"
#include "support/canvas.hpp"
#include "support/file_bytes.hpp"
#include "support/temp_folder.hpp"

namespace {

using nlohmann::json;
using test::errorOf;
using test::isReady;
using test::UI;

constexpr int width = 320;
constexpr int height = 240;

std::uint64_t presentations(const json& report) { return report["presentations"].get<std::uint64_t>(); }
std::uint64_t uploads(const json& report) { return report["rendering"]["uploads"].get<std::uint64_t>(); }
std::uint64_t copied(const json& report) { return report["rendering"]["device_copy_bytes"].get<std::uint64_t>(); }
std::uint64_t steps(const json& report) { return report.contains("stats") ? report["stats"]["steps"].get<std::uint64_t>() : 0; }
bool running(const json& report) { return report["running"].get<bool>(); }
bool settled(const json& report) { return report["settled"].get<bool>(); }
bool canvasVisible(const json& report) { return report["canvas"]["visible"].get<bool>(); }

// Bytes one upload copies: three planes of n x n floats.
std::uint64_t frameBytes(int n) { return 12u * static_cast<std::uint64_t>(n) * n; }

void sleepFor(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

class RenderThread : public test::RenderingTest {
protected:
    // The handle attached to a new host window, showing the geometry its renderer measured.
    void attach() {
        host = x->hostWindow(width, height);
        ASSERT_EQ(ui.attach(host).dump(), "{}");
        ui.await([](const json& r) { return r["canvas"]["width_points"] == width; }, "with the canvas measured");
    }

    // Started on a 16 x 16 grid and presenting its frames.
    json start() {
        EXPECT_EQ(errorOf(ui({{"op", "configure"}, {"resolution", 16}})), "");
        EXPECT_EQ(errorOf(ui({{"op", "start"}})), "");
        return ui.await([](const json& r) { return isReady(r) && presentations(r) > 0; }, "presenting");
    }

    json attachAndStart() {
        attach();
        return start();
    }

    // The renderer's own window inside the host window, which receives the pointer events.
    Window canvas() {
        const std::vector<Window> children = x->children(host);
        EXPECT_EQ(children.size(), 1u);
        return children.empty() ? 0 : children.front();
    }

    // A left-button release in the middle of overlay button 1, 2 or 3 (at canvas scale 1).
    void click(int button) {
        x->sendButtonRelease(canvas(), test::buttonMiddleX(button), height - test::buttonMiddleAboveBottom, Button1);
    }

    // After failed exports: none is under way, none closed the handle, and frames are still shown.
    void expectStillAtWork() {
        const json report = ui.report();
        EXPECT_FALSE(report["exporting"].get<bool>());
        EXPECT_TRUE(report["error_message"].is_null());
        const std::uint64_t shown = presentations(report);
        ui.await([&](const json& r) { return presentations(r) > shown; }, "still presenting");
    }

    // Returns once count passes of the render thread have begun after the call, all but the last
    // of them ended. Every pass measures the canvas, so each is seen as the report showing a new
    // width of the host window, which alternates by a pixel and is back as it was for an even
    // count.
    void renderPasses(int count) {
        for (int pass = 1; pass <= count; ++pass) {
            const int grown = width + pass % 2;
            XResizeWindow(x->display, host, grown, height);
            XSync(x->display, False);
            ui.await([grown](const json& r) { return r["canvas"]["width_points"] == grown; }, "measured again");
        }
    }

    // The presentations of three whole passes that began after the call.
    std::uint64_t presentedOverPasses() {
        renderPasses(2);  // the second began once the first, which may have begun earlier, ended
        const std::uint64_t before = presentations(ui.report());
        renderPasses(4);
        return presentations(ui.report()) - before;
    }

    UI ui;
    Window host = 0;
};

TEST_F(RenderThread, PresentsAtMostSixtyTimesASecond) {
    attachAndStart();
    json report = ui.await([](const json& r) { return presentations(r) >= 10; }, "with ten presentations");
    EXPECT_EQ(report["canvas"], json({{"width_points", 320.0}, {"height_points", 240.0}, {"scale", 1.0}, {"visible", true}}));
    EXPECT_TRUE(report["error_message"].is_null());

    // Each presentation uploads at most one new frame of three 16 x 16 planes.
    const json& rendering = report["rendering"];
    EXPECT_GE(uploads(report), 1u);
    EXPECT_LE(uploads(report), presentations(report));
    EXPECT_EQ(copied(report), uploads(report) * frameBytes(16));
    EXPECT_GT(rendering["swap_seconds"].get<double>(), 0.0);
    EXPECT_GT(rendering["draw_submit_seconds"].get<double>(), 0.0);
    EXPECT_GE(rendering["upload_seconds"].get<double>(), 0.0);
    const double span = rendering["presentation_seconds"].get<double>();
    EXPECT_LE(static_cast<double>(presentations(report) - 1), 60.0 * span + 1.0) << report;

    // Presentations keep coming, no faster than the sixtieths of a second allow, even while
    // export jobs wake the render thread for extra passes.
    const test::TempFolder folder("quellmar-render-rate");
    const json tiny = {{"op", "export"}, {"png", (folder / "tiny.png").string()}, {"pixel_size", 1}};
    // Exports go on for half a second at least, and until a presentation came between them: one
    // export of a slow run (a sanitizer, a busy disk flushing the file) may take all of that time.
    const auto start = std::chrono::steady_clock::now();
    const json first = ui.report();
    json last = first;
    double elapsed = 0.0;
    while (elapsed < 0.5 || presentations(last) == presentations(first)) {
        ASSERT_LT(elapsed, 20.0) << "nothing was presented between exports";
        ASSERT_EQ(errorOf(ui(tiny)), "");
        last = ui.report();
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(static_cast<double>(presentations(last) - presentations(first)), 60.0 * elapsed + 2.0);
    // An export uploads the frame it draws, so a presentation of that frame copies nothing; new
    // frames are uploaded again once the exports stop.
    ui.await([&](const json& r) { return uploads(r) > uploads(last); }, "uploading new frames");

    // The field fills the window's lower-left square, away from the background colour.
    const test::Capture shown = x->capture(canvas());
    int field = 0;
    for (int column = 8; column < height; column += 16) {
        const test::RGB8 p = shown.at(column, height / 2);
        field += p.r != test::background.r || p.g != test::background.g || p.b != test::background.b;
    }
    EXPECT_GT(field, 10);

    report = ui({{"op", "set"}, {"canvas_scale", 2}});
    EXPECT_EQ(report["canvas"], json({{"width_points", 160.0}, {"height_points", 120.0}, {"scale", 2.0}, {"visible", true}}));
}

TEST_F(RenderThread, HiddenOrUnmappedCanvasIsNotPresented) {
    attachAndStart();
    EXPECT_FALSE(canvasVisible(ui({{"op", "visible"}, {"value", false}})));
    EXPECT_EQ(presentedOverPasses(), 0u);
    ui({{"op", "visible"}, {"value", true}});
    const std::uint64_t shown = presentations(ui.report());
    ui.await([&](const json& r) { return presentations(r) > shown; }, "presenting again");

    XUnmapWindow(x->display, host);
    XSync(x->display, False);
    ui.await([](const json& r) { return !canvasVisible(r); }, "with the window unmapped");
    EXPECT_EQ(presentedOverPasses(), 0u);
    XMapWindow(x->display, host);
    XSync(x->display, False);
    ui.await(canvasVisible, "with the window mapped again");
}

// The host may unmap or destroy the renderer's own window while the host window stays: the canvas
// is then not visible and nothing is presented. An unmapped canvas is presented again once mapped; a
// destroyed one is gone for good, and the handle keeps serving requests without an error.
TEST_F(RenderThread, CanvasWindowUnmappedOrDestroyedByTheHostIsNotPresented) {
    attachAndStart();
    const Window own = canvas();
    XUnmapWindow(x->display, own);
    XSync(x->display, False);
    const json hidden = ui.await([](const json& r) { return !canvasVisible(r); }, "with the canvas window unmapped");
    EXPECT_EQ(presentedOverPasses(), 0u);
    XMapWindow(x->display, own);
    XSync(x->display, False);
    ui.await([&](const json& r) { return canvasVisible(r) && presentations(r) > presentations(hidden); },
             "presenting again");

    XDestroyWindow(x->display, own);
    XSync(x->display, False);
    ui.await([](const json& r) { return !canvasVisible(r); }, "with the canvas window destroyed");
    EXPECT_EQ(presentedOverPasses(), 0u);
    const json later = ui.report();
    EXPECT_FALSE(canvasVisible(later));
    EXPECT_TRUE(later["error_message"].is_null());
    EXPECT_TRUE(running(later));
}

// The counters start again with the first pass of a new generation: afterwards every byte they
// count was copied for a 32 x 32 frame.
TEST_F(RenderThread, NewConfigurationRestartsTheCounters) {
    attachAndStart();
    const json before = ui.await([](const json& r) { return presentations(r) >= 20; }, "with twenty presentations");
    EXPECT_EQ(ui({{"op", "configure"}, {"resolution", 32}})["generation"], 2);
    const json after = ui.await(
        [](const json& r) {
            return r["generation"] == 2 && uploads(r) >= 1 && copied(r) == uploads(r) * frameBytes(32);
        },
        "with counters of the new grid alone");
    EXPECT_LT(presentations(after), presentations(before));
    EXPECT_LE(uploads(after), presentations(after));
}

// The buttons do nothing before "start", nor while the controller has shown no frame (it takes
// none while the canvas is hidden). Once it is ready, play/pause toggles, single step pauses and
// advances one step, and reset starts a new generation.
TEST_F(RenderThread, OverlayClicksSteerTheControllerOnceReady) {
    // In this order each click would leave its mark: paused, a new generation, still paused.
    const auto ignored = [&](const char* when) {
        SCOPED_TRACE(when);
        click(1);
        click(3);
        click(2);
        renderPasses(4);  // one click is handled per pass
        const json report = ui.report();
        EXPECT_TRUE(running(report));
        EXPECT_FALSE(isReady(report));
        return report;
    };
    attach();
    EXPECT_EQ(ignored("before start")["generation"], 0);
    ui({{"op", "configure"}, {"resolution", 16}});
    ui({{"op", "visible"}, {"value", false}});
    ui({{"op", "start"}});
    ui.await([](const json& r) { return r["performance"]["steps_per_s"] > 0.0; }, "running hidden");
    EXPECT_EQ(ignored("before the first frame")["generation"], 1);

    ui({{"op", "visible"}, {"value", true}});
    ui.await(isReady, "ready");
    click(1);
    const std::uint64_t paused = steps(ui.await([](const json& r) { return !running(r) && settled(r); }, "paused"));
    click(2);
    const json report = ui.await([&](const json& r) { return settled(r) && steps(r) > paused; }, "after one step");
    EXPECT_EQ(steps(report), paused + 1);
    EXPECT_FALSE(running(report));
    click(1);
    ui.await(running, "running again");
    click(2);
    ui.await([](const json& r) { return !running(r); }, "paused by a single step");
    click(3);
    ui.await([](const json& r) { return r["generation"] == 2; }, "reset");
}

TEST_F(RenderThread, ExportWritesTheFieldsFileThenThePicture) {
    const test::TempFolder folder("quellmar-render-export");
    const auto file = [&](const char* name) { return (folder / name).string(); };
    attach();
    EXPECT_EQ(errorOf(ui({{"op", "export"}, {"png", file("early.png")}})), "No completed frame.");
    start();

    json report = ui({{"op", "export"}, {"fields", file("fields.bin")}, {"png", file("small.png")}, {"pixel_size", 48}});
    EXPECT_EQ(errorOf(report), "");
    EXPECT_FALSE(report["exporting"].get<bool>());
    EXPECT_EQ(std::filesystem::file_size(file("fields.bin")), frameBytes(16));
    const test::PNGImage small = test::readPNG(file("small.png"));
    EXPECT_EQ(small.width, 48);
    EXPECT_EQ(small.height, 48);
    EXPECT_LE(std::filesystem::last_write_time(file("fields.bin")), std::filesystem::last_write_time(file("small.png")));

    EXPECT_EQ(errorOf(ui({{"op", "export"}, {"png", file("default.png")}})), "");
    const test::PNGImage large = test::readPNG(file("default.png"));
    EXPECT_EQ(large.width, 1800);
    EXPECT_EQ(large.height, 1800);

    // A refused size fails the request before the fields file is written, and leaves the render
    // thread at work.
    const test::Bytes before = {'o', 'l', 'd'};
    for (const json& size : {json(0), json(8193), json(4294967344ull), json(-4294967248ll)}) {
        SCOPED_TRACE(size.dump());
        test::writeBytes(file("fields.bin"), before);
        report = ui({{"op", "export"}, {"fields", file("fields.bin")}, {"png", file("refused.png")}, {"pixel_size", size}});
        EXPECT_EQ(errorOf(report), "PNG size must be 1 through 8192.");
        EXPECT_EQ(test::readBytes(file("fields.bin")), before);
        EXPECT_FALSE(std::filesystem::exists(file("refused.png")));
    }
    // A fields path that holds a NUL is refused, where the kernel would have read it only up to
    // the NUL; the picture is then not drawn.
    report = ui({{"op", "export"}, {"fields", file("keep") + std::string("\0.bin", 5)}, {"png", file("after.png")}});
    EXPECT_EQ(errorOf(report), "Cannot write export file.");
    EXPECT_FALSE(std::filesystem::exists(file("keep")));
    EXPECT_FALSE(std::filesystem::exists(file("after.png")));
    expectStillAtWork();
}

// The UI's export takes no velocity of its own: its fields file holds what the newest frame
// holds, which is the velocity only while the display needs it.
TEST_F(RenderThread, ExportedFieldsHoldTheVelocityOfTheFrame) {
    const test::TempFolder folder("quellmar-render-velocity");
    const std::string fields = (folder / "fields.bin").string();
    const auto velocityPlanesAreZero = [&] {
        EXPECT_EQ(errorOf(ui({{"op", "export"}, {"fields", fields}, {"include_velocity", true}})), "");
        const std::vector<float> values = test::floatsOf(fields);
        EXPECT_EQ(values.size(), 3u * 16 * 16);
        return std::all_of(values.begin() + 16 * 16, values.end(), [](float v) { return v == 0.0f; });
    };
    attachAndStart();
    EXPECT_TRUE(velocityPlanesAreZero());
    ui({{"op", "set"}, {"display", "speed"}});
    ui.await([](const json& r) { return r["frame"]["max_speed"].get<double>() > 0; }, "with the velocity");
    EXPECT_FALSE(velocityPlanesAreZero());
}

// A picture that cannot be written fails its request and leaves the render thread at work.
TEST_F(RenderThread, ReplacingAPictureKeepsWhatTheUserHad) {
    const test::TempFolder folder("quellmar-render-replace");
    attachAndStart();
    test::expectPicturesKeepWhatTheUserHad(folder.root, [&](const std::filesystem::path& path) {
        return errorOf(ui({{"op", "export"}, {"png", path.string()}, {"pixel_size", 32}}));
    });
    expectStillAtWork();
}

// Fields asked for at a FIFO without a reader fail the request at once; the picture of the same
// request is then not drawn.
TEST_F(RenderThread, FieldsForAFifoWithoutAReaderFailAtOnce) {
    const test::TempFolder folder("quellmar-render-fifo");
    attachAndStart();
    ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0666), 0);
    {
        const test::Watchdog watchdog(30.0, "an export of fields to a FIFO without a reader");
        EXPECT_EQ(errorOf(ui({{"op", "export"}, {"fields", (folder / "fifo").string()}, {"png", (folder / "f.png").string()}})),
                  "Cannot write export file.");
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "f.png"));
    EXPECT_EQ(errorOf(ui({{"op", "export"}, {"png", (folder / "f.png").string()}, {"pixel_size", 8}})), "");
}

// A destroyed host window is fatal to the renderer: the handle closes with that message, pauses
// the simulation, and refuses exports with it.
TEST_F(RenderThread, RendererFailureClosesTheHandle) {
    const std::string destroyed = "The canvas window was destroyed.";
    attachAndStart();
    XDestroyWindow(x->display, host);
    XSync(x->display, False);
    json report = ui.await([](const json& r) { return test::hasError(r); }, "with the render error");
    EXPECT_EQ(report["error_message"], destroyed);
    report = ui.await(settled, "paused");
    EXPECT_FALSE(running(report));
    EXPECT_EQ(errorOf(ui({{"op", "export"}, {"fields", "/nonexistent/fields.bin"}})), destroyed);
    EXPECT_EQ(errorOf(ui({{"op", "start"}})), destroyed);
    EXPECT_FALSE(ui.report()["exporting"].get<bool>());
}

// Exports asked for while the window goes away either finish or fail with the render error;
// none of them waits forever.
TEST_F(RenderThread, ExportsRacingAFailureReturn) {
    const test::TempFolder folder("quellmar-render-race");
    attachAndStart();
    std::thread destroyer([window = host] {
        test::XSession other;
        sleepFor(0.05);
        XDestroyWindow(other.display, window);
        XSync(other.display, False);
    });
    std::string error;
    {
        const test::Watchdog watchdog(30.0, "an export racing the render thread's failure");
        for (int i = 0; i < 200 && error.empty(); ++i)
            error = errorOf(ui({{"op", "export"}, {"fields", (folder / "fields.bin").string()}, {"png", (folder / "f.png").string()}, {"pixel_size", 8}}));
    }
    destroyer.join();
    EXPECT_EQ(error, "The canvas window was destroyed.");
    EXPECT_FALSE(ui.report()["exporting"].get<bool>());
}

}  // namespace
