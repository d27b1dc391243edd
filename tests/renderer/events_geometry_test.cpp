// Clicks on the overlay's control bar, keys forwarded to the host, and the geometry that
// follows the host window and the canvas window inside it.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include <X11/extensions/XTest.h>

#include "environment_variable.hpp"
#include "private_display.hpp"
#include "renderer_fixture.hpp"
#include "support/canvas.hpp"
#include "support/polling.hpp"

namespace {

// The number of the next button event() reports within two seconds (1 play/pause, 2 single step,
// 3 reset, counted along the bar), or 0.
int nextClick(mirel::LinuxRenderer& r) {
    int button = 0;
    test::pollUntil([&] { return (button = static_cast<int>(r.event())) != 0; }, std::chrono::seconds(2), std::chrono::milliseconds(2));
    return button;
}

class RendererEvents : public test::RendererTest {
protected:
    // A hosted renderer of the host's size, presented once at the given UI scale.
    std::unique_ptr<mirel::LinuxDesktopRenderer> presented(int width, int height, double scale) {
        host = x->hostWindow(width, height);
        auto r = hosted(host);
        settle(*r);
        r->present(nullptr, mirel::Display{}, 1, 0.0, false, scale);
        return r;
    }

    Window host = 0;
};

struct Click {
    int x, y;
    unsigned button;
    int expected;
};

// Each click is followed by one in the middle of a known button, so that a click that reports
// nothing is told apart from one that has not arrived yet.
void expectClicks(test::XSession& x, mirel::LinuxDesktopRenderer& r, const std::vector<Click>& clicks, double scale,
                  int heightPoints) {
    for (const Click& click : clicks) {
        SCOPED_TRACE("pixel (" + std::to_string(click.x) + ", " + std::to_string(click.y) + ") button " +
                     std::to_string(click.button));
        const int marker = click.expected == 3 ? 1 : 3;
        x.sendButtonRelease(r.desktopWindow(), click.x, click.y, click.button);
        x.sendButtonRelease(r.desktopWindow(), static_cast<int>(scale * test::buttonMiddleX(marker)),
                            static_cast<int>(scale * (heightPoints - test::buttonMiddleAboveBottom)), Button1);
        if (click.expected != 0) {
            EXPECT_EQ(nextClick(r), click.expected);
        }
        EXPECT_EQ(nextClick(r), marker);
    }
}

TEST_F(RendererEvents, ClicksOnTheBarCountInLogicalPoints) {
    const struct {
        int width, height;
        double scale;
        std::vector<Click> clicks;
    } windows[] = {
        // 320 x 240 points: the bar spans x 14 ... 128 and y 191 ... 226, three buttons of 38.
        {320, 240, 1.0, {{14, 200, Button1, 1}, {51, 200, Button1, 1}, {52, 200, Button1, 2}, {89, 200, Button1, 2}, {90, 200, Button1, 3}, {127, 200, Button1, 3}, {128, 200, Button1, 0}, {13, 200, Button1, 0}, {20, 191, Button1, 1}, {20, 190, Button1, 0}, {20, 226, Button1, 1}, {20, 227, Button1, 0}, {60, 200, Button3, 0}, {60, 200, Button2, 0}}},
        // 800 x 600 pixels at scale 2 are 400 x 300 points: the bar spans y 251 ... 286 points.
        {800, 600, 2.0, {{150, 540, Button1, 2}, {300, 540, Button1, 0}, {28, 540, Button1, 1}, {256, 540, Button1, 0}, {255, 540, Button1, 3}, {60, 572, Button1, 1}, {60, 574, Button1, 0}, {60, 502, Button1, 1}, {60, 501, Button1, 0}, {150, 540, Button3, 0}}},
    };
    for (const auto& w : windows) {
        SCOPED_TRACE(std::to_string(w.width) + " x " + std::to_string(w.height) + " at scale " + std::to_string(w.scale));
        auto r = presented(w.width, w.height, w.scale);
        expectClicks(*x, *r, w.clicks, w.scale, static_cast<int>(w.height / w.scale));
    }
}

// Moves the server's pointer to pixel (x, y) of window w and presses or releases a button there,
// as a hand on a mouse does; returns once the server has dealt the events out.
void pointerButton(Display* display, Window w, int x, int y, unsigned button, bool press) {
    int rootX = 0, rootY = 0;
    Window under = 0;
    XTranslateCoordinates(display, w, DefaultRootWindow(display), x, y, &rootX, &rootY, &under);
    XTestFakeMotionEvent(display, -1, rootX, rootY, CurrentTime);
    XTestFakeButtonEvent(display, button, press ? True : False, CurrentTime);
    XSync(display, False);
}

// The button event() reports once the renderer's connection holds every event the server sent it
// so far: the server answers a connection's request after the events it sent there before.
int clickReceived(mirel::LinuxDesktopRenderer& r) {
    XSync(r.desktopDisplay(), False);
    return static_cast<int>(r.event());
}

// A real pointer over a host window that takes button presses, as every toolkit's window does: the
// press starts a pointer grab for the window that selects presses, and the release goes where the
// grab is. The pointer is the whole server's, so the test runs on a server of its own, away from
// the windows of tests running at the same time.
TEST_F(RendererEvents, RealPointerClicksReachTheCanvasInsideAHostThatTakesPresses) {
    const test::PrivateDisplay server("1024x768x24");
    const test::EnvironmentVariable variable("DISPLAY", server.name.c_str());
    test::XSession own;
    int event = 0, error = 0, major = 0, minor = 0;
    ASSERT_TRUE(XTestQueryExtension(own.display, &event, &error, &major, &minor)) << "the server has no XTEST";
    const struct {
        int width, height;
        double scale;
    } windows[] = {{320, 240, 1.0}, {800, 600, 2.0}};
    for (const auto& w : windows) {
        SCOPED_TRACE(std::to_string(w.width) + " x " + std::to_string(w.height) + " at scale " + std::to_string(w.scale));
        const Window host =
            own.hostWindow(w.width, w.height, true, KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask);
        auto r = hosted(host);
        settle(*r);
        r->present(nullptr, mirel::Display{}, 1, 0.0, false, w.scale);
        for (int button = 1; button <= 3; ++button) {
            SCOPED_TRACE("button " + std::to_string(button));
            const int x = static_cast<int>(w.scale * test::buttonMiddleX(button));
            const int y = w.height - static_cast<int>(w.scale * test::buttonMiddleAboveBottom);
            pointerButton(own.display, r->desktopWindow(), x, y, Button1, true);
            EXPECT_EQ(clickReceived(*r), 0) << "a press alone";
            pointerButton(own.display, r->desktopWindow(), x, y, Button1, false);
            EXPECT_EQ(clickReceived(*r), button);
        }
        r.reset();
        XDestroyWindow(own.display, host);
    }
}

TEST_F(RendererEvents, LaterClicksWaitForTheNextCall) {
    auto r = presented(320, 240, 1.0);
    x->sendButtonRelease(r->desktopWindow(), 100, 200, Button1);
    x->sendButtonRelease(r->desktopWindow(), 20, 200, Button1);
    EXPECT_EQ(nextClick(*r), 3);
    EXPECT_EQ(nextClick(*r), 1);
}

TEST_F(RendererEvents, KeysReachTheHostWindowAndPressNoButton) {
    auto r = presented(320, 240, 1.0);
    for (const int type : {KeyPress, KeyRelease}) {
        SCOPED_TRACE(type == KeyPress ? "press" : "release");
        x->sendKey(r->desktopWindow(), type, 38);
        x->sendButtonRelease(r->desktopWindow(), 20, 200, Button1);
        EXPECT_EQ(nextClick(*r), 1);
        XEvent forwarded;
        ASSERT_TRUE(x->waitFor(host, type, forwarded));
        EXPECT_EQ(forwarded.xkey.window, host);
        EXPECT_EQ(forwarded.xkey.keycode, 38u);
    }
}

TEST_F(RendererEvents, GeometryFollowsTheHostWindow) {
    auto r = presented(320, 240, 1.0);
    const Window child = r->desktopWindow();
    mirel::Geometry g = r->geometry();
    EXPECT_EQ(g.width, 320);
    EXPECT_EQ(g.height, 240);
    EXPECT_TRUE(g.viewable);
    EXPECT_EQ(x->children(host), std::vector<Window>{child});

    XResizeWindow(x->display, host, 500, 300);
    XSync(x->display, False);
    g = r->geometry();
    EXPECT_EQ(g.width, 500);
    EXPECT_EQ(g.height, 300);
    // The renderer's connection is not ordered with the test's: its resize is done once it has
    // had an answer from the server.
    XSync(r->desktopDisplay(), False);
    const XWindowAttributes covered = x->attributes(child);
    EXPECT_EQ(covered.x, 0);
    EXPECT_EQ(covered.y, 0);
    EXPECT_EQ(covered.width, 500);
    EXPECT_EQ(covered.height, 300);

    XUnmapWindow(x->display, host);
    XSync(x->display, False);
    g = r->geometry();
    EXPECT_FALSE(g.viewable);
    EXPECT_EQ(g.width, 500);
}

TEST_F(RendererEvents, DestroyedHostWindowFailsTheGeometry) {
    auto r = presented(320, 240, 1.0);
    XDestroyWindow(x->display, host);
    XSync(x->display, False);
    try {
        r->geometry();
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "The canvas window was destroyed.");
    }
    // The window that went with the host is gone too: the renderer still polls, presents and
    // goes away without bringing the process down.
    EXPECT_EQ(r->event(), mirel::OverlayButton::none);
    r->present(nullptr, mirel::Display{}, 1, 0.0, false, 1.0);
    r.reset();
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

// The host may unmap its canvas window, or destroy it, while the host window itself stays. An
// unmapped canvas is not viewable until it is mapped again; a destroyed one never comes back, and
// the renderer still follows the host's size and goes away leaving nothing open.
TEST_F(RendererEvents, GeometryFollowsTheCanvasWindowItself) {
    const int before = test::openDescriptors();
    auto r = presented(320, 240, 1.0);
    const Window child = r->desktopWindow();
    const auto viewable = [&] { return r->geometry().viewable; };
    ASSERT_TRUE(viewable());

    XUnmapWindow(x->display, child);
    XSync(x->display, False);
    EXPECT_FALSE(viewable());
    XMapWindow(x->display, child);
    XSync(x->display, False);
    EXPECT_TRUE(viewable());

    XDestroyWindow(x->display, child);
    XSync(x->display, False);
    EXPECT_FALSE(viewable());
    XResizeWindow(x->display, host, 400, 300);
    XSync(x->display, False);
    const mirel::Geometry g = r->geometry();
    EXPECT_EQ(g.width, 400);
    EXPECT_EQ(g.height, 300);
    EXPECT_FALSE(g.viewable);
    EXPECT_EQ(r->event(), mirel::OverlayButton::none);
    r->present(nullptr, mirel::Display{}, 1, 0.0, false, 1.0);
    EXPECT_FALSE(viewable());
    r.reset();
    EXPECT_EQ(test::openDescriptors(), before);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(RendererEvents, DesktopRendererBeforeOpeningKeepsItsSize) {
    auto r = desktop();
    const mirel::Geometry g = r->geometry();
    EXPECT_EQ(g.width, 64);
    EXPECT_EQ(g.height, 64);
    EXPECT_FALSE(g.viewable);
    // Keys have no host to go to; a click still counts once the window is open.
    r->openDesktop("keys", 320, 240);
    r->present(nullptr, mirel::Display{}, 1, 0.0, false, 1.0);
    x->sendKey(r->desktopWindow(), KeyPress, 38);
    x->sendButtonRelease(r->desktopWindow(), 20, 200, Button1);
    EXPECT_EQ(nextClick(*r), 1);
}

}  // namespace
