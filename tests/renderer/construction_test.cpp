// Building and tearing down renderers: without a display, in desktop mode, without the font
// "fixed", and deleted without ever presenting.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "environment_variable.hpp"
#include "private_display.hpp"
#include "renderer_fixture.hpp"
#include "support/expect_error.hpp"
#include "vacant_display.hpp"

namespace {

// A display that refuses connections is asked again for about two seconds (a resetting server
// refuses them for a moment); one where no server listens fails the same way after that.
TEST(RendererWithoutDisplay, WithoutADisplayFailsAndLeavesNothingOpen) {
    const test::VacantDisplay vacant;
    const struct {
        const char* what;
        const char* display;  // unset for null
    } cases[] = {
        {"DISPLAY unset", nullptr},
        {"DISPLAY empty", ""},
        {"no server on the display", vacant.name.c_str()},
    };
    const std::string message = "OpenGL rendering requires a local X11/Xwayland display (DISPLAY).";
    const std::function<void()> factories[] = {[] { delete qm_gl_create(1, 0); }, [] { delete qm_gl_create_desktop(0); }};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const test::EnvironmentVariable variable("DISPLAY", c.display);
        const int before = test::openDescriptors();
        for (const auto& create : factories) {
            const auto start = std::chrono::steady_clock::now();
            test::expectError<std::runtime_error>(create, message);
            // Room for a busy machine beyond the two seconds.
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        }
        EXPECT_EQ(test::openDescriptors(), before);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    }
}

using RendererConstruction = test::RendererTest;

TEST_F(RendererConstruction, DesktopModeIsHiddenUntilOpened) {
    auto r = desktop();
    mirel::Geometry g = r->geometry();
    EXPECT_EQ(g.width, 64);
    EXPECT_EQ(g.height, 64);
    EXPECT_FALSE(g.viewable);
    EXPECT_NE(r->desktopDisplay(), nullptr);
    const XWindowAttributes hidden = x->attributes(r->desktopWindow());
    EXPECT_EQ(hidden.map_state, IsUnmapped);
    EXPECT_EQ(hidden.width, 64);

    // A size of zero or below becomes one pixel.
    r->openDesktop("quellmar", 0, -5);
    g = r->geometry();
    EXPECT_EQ(g.width, 1);
    EXPECT_EQ(g.height, 1);
    EXPECT_TRUE(g.viewable);
    char* title = nullptr;
    ASSERT_NE(XFetchName(x->display, r->desktopWindow(), &title), 0);
    EXPECT_STREQ(title, "quellmar");
    XFree(title);

    test::expectError<std::runtime_error>([&] { r->openDesktop("again", 100, 100); }, "Renderer already has a host.");
    g = r->geometry();
    EXPECT_EQ(g.width, 1);
}

TEST_F(RendererConstruction, OpenedDesktopWindowFollowsItsOwnSize) {
    auto r = desktop();
    r->openDesktop("quellmar", 300, 200);
    mirel::Geometry g = r->geometry();
    EXPECT_EQ(g.width, 300);
    EXPECT_EQ(g.height, 200);
    r->present(nullptr, mirel::Display{}, 1, 0.0, false, 1.0);
    r->presentDesktop();
    XResizeWindow(x->display, r->desktopWindow(), 120, 90);
    XSync(x->display, False);
    g = r->geometry();
    EXPECT_EQ(g.width, 120);
    EXPECT_EQ(g.height, 90);

    XDestroyWindow(x->display, r->desktopWindow());
    XSync(x->display, False);
    test::expectError<std::runtime_error>([&] { r->geometry(); }, "The desktop window was destroyed.");
}

TEST_F(RendererConstruction, HostedRendererRefusesTheDesktop) {
    const Window host = x->hostWindow(200, 100);
    auto r = hosted(host);
    test::expectError<std::runtime_error>([&] { r->openDesktop("quellmar", 100, 100); }, "Renderer already has a host.");
    EXPECT_EQ(x->children(host), std::vector<Window>{r->desktopWindow()});
    // The renderer only flushes its map request, and the server may take this connection's
    // requests first: a round trip on the renderer's own connection has it carried out.
    r->geometry();
    EXPECT_EQ(x->attributes(r->desktopWindow()).map_state, IsViewable);
}

TEST_F(RendererConstruction, HostWindowThatDoesNotExistFails) {
    const Window host = x->hostWindow(200, 100);
    XDestroyWindow(x->display, host);
    XSync(x->display, False);
    const int before = test::openDescriptors();
    test::expectError<std::runtime_error>([&] { delete qm_gl_create(host, 0); }, "The canvas window was destroyed.");
    EXPECT_EQ(test::openDescriptors(), before);
}

TEST_F(RendererConstruction, DeletingWithoutPresentingReleasesEverything) {
    const Window host = x->hostWindow(200, 100);
    const int before = test::openDescriptors();
    for (int i = 0; i < 3; ++i) {
        hosted(host).reset();
        desktop().reset();
    }
    EXPECT_EQ(test::openDescriptors(), before);
    EXPECT_TRUE(x->children(host).empty());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(RendererConstruction, WithoutTheFontFixedOverlaysHaveNoText) {
    // A server of its own, whose font path holds no font at all while this connection lasts.
    const test::PrivateDisplay server;
    const test::EnvironmentVariable variable("DISPLAY", server.name.c_str());
    test::XSession own;
    const auto fonts = folder / "fonts";
    std::filesystem::create_directories(fonts);
    std::ofstream(fonts / "fonts.dir") << "0\n";
    const std::string path = fonts.string();
    char* paths[] = {const_cast<char*>(path.c_str())};
    XSetFontPath(own.display, paths, 1);
    XSync(own.display, False);
    ASSERT_EQ(XLoadQueryFont(own.display, "fixed"), nullptr);

    const Window host = own.hostWindow(320, 240);
    auto r = hosted(host);
    settle(*r);
    r->present(nullptr, mirel::Display{}, 42, 1.5, false, 1.0);
    r->geometry();
    const test::Capture c = own.capture(r->desktopWindow());
    // The label and the time pill are there, with nothing written in them.
    int pill = 0;
    for (int y = 14; y < 40; ++y) {
        for (int x = 24; x < 24 + 6 * 18; ++x) {
            const test::RGB8 p = c.at(x, y);
            ASSERT_LT(p.r + p.g + p.b, 60) << "pixel (" << x << ", " << y << ")";
            pill += p.b < 16;
        }
    }
    EXPECT_GT(pill, 0);
    for (int y = 240 - 44; y < 240 - 20; ++y)
        for (int x = 320 - 108; x < 320 - 20; ++x) ASSERT_LT(c.at(x, y).r, 30) << "pixel (" << x << ", " << y << ")";
}

}  // namespace
