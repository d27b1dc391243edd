// Presentation into a hosted window: the cleared window, the field square and its corners, the
// overlay with its texts, and what an upload costs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "renderer_fixture.hpp"
#include "shading_model.hpp"
#include "test_frames.hpp"

namespace {

using mirel::ColorRange;
using mirel::Field;
using mirel::Palette;
using test::background;
using test::Capture;
using test::RGB8;
namespace model = test::model;

// The clear colour under the overlay's 35 % black.
constexpr RGB8 underPill{6, 8, 12};
constexpr RGB8 ink{230, 235, 242};

bool near(RGB8 a, RGB8 b, int tolerance = 2) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

std::string show(RGB8 c) {
    return std::to_string(c.r) + " " + std::to_string(c.g) + " " + std::to_string(c.b);
}

#define EXPECT_PIXEL(capture, x, y, colour) \
    EXPECT_TRUE(near((capture).at(x, y), colour)) << "pixel (" << (x) << ", " << (y) << "): " << show((capture).at(x, y))

class RendererPresentation : public test::RendererTest {
protected:
    // A hosted renderer that has taken the host's size.
    std::unique_ptr<mirel::LinuxDesktopRenderer> sized(int width, int height) {
        host = x->hostWindow(width, height);
        auto r = hosted(host);
        settle(*r);
        const mirel::Geometry g = r->geometry();
        EXPECT_EQ(g.width, width);
        EXPECT_EQ(g.height, height);
        return r;
    }
    Window host = 0;
};

TEST_F(RendererPresentation, WithoutAFrameTheWindowIsClearedUnderTheOverlay) {
    auto r = sized(320, 240);
    const mirel::RenderTiming timing = r->present(nullptr, mirel::Display{}, 42, 1.5, false, 1.0);
    EXPECT_EQ(timing.upload, 0.0);
    EXPECT_EQ(timing.uploadCount, 0u);
    EXPECT_EQ(timing.uploadBytes, 0u);
    EXPECT_GE(timing.drawSubmit, 0.0);
    EXPECT_GE(timing.swap, 0.0);
    const Capture c = shown(*r);
    ASSERT_EQ(c.width, 320);
    EXPECT_PIXEL(c, 200, 100, background);
    EXPECT_PIXEL(c, 319, 0, background);
    // Seed label, control bar and time pill.
    EXPECT_PIXEL(c, 18, 27, underPill);
    EXPECT_PIXEL(c, 50, 240 - 45, underPill);
    EXPECT_PIXEL(c, 320 - 60, 240 - 19, underPill);
}

TEST_F(RendererPresentation, FieldSquareSitsLowerLeftWithTwoRoundedCorners) {
    const test::HostFrame frame = test::uniformFrame(8, 0.3);
    const mirel::Display display{Field::vorticity, Palette::ember, ColorRange::exposure, 1.2f, 2.5f, false};
    const model::Color colour = model::shade(frame, display, 0.5, 0.5);
    const RGB8 field{model::byte(colour.r), model::byte(colour.g), model::byte(colour.b)};
    const struct {
        int width, height;
        double scale;
    } windows[] = {{320, 200, 1.0}, {200, 320, 1.0}, {320, 200, 2.0}};
    for (const auto& w : windows) {
        SCOPED_TRACE(std::to_string(w.width) + " x " + std::to_string(w.height) + " at scale " + std::to_string(w.scale));
        auto r = sized(w.width, w.height);
        r->present(test::deviceFrame(frame), display, 1, 0.0, true, w.scale);
        const Capture c = shown(*r);
        const int side = std::min(w.width, w.height), W = w.width, H = w.height;
        // Inside the square, away from the overlay.
        EXPECT_PIXEL(c, side / 2, H - side / 2 - 10, field);
        // The upper corners are square.
        EXPECT_PIXEL(c, 0, H - side, field);
        EXPECT_PIXEL(c, side - 1, H - side, field);
        // The lower corners are cut with a radius of 15 points.
        EXPECT_PIXEL(c, 0, H - 1, background);
        EXPECT_PIXEL(c, side - 1, H - 1, background);
        EXPECT_PIXEL(c, 6, H - 7, w.scale == 1.0 ? field : background);
        EXPECT_PIXEL(c, side - 7, H - 7, w.scale == 1.0 ? field : background);
        EXPECT_PIXEL(c, 12, H - 13, field);
        // Beyond the square the window keeps its clear colour.
        if (W > side) {
            EXPECT_PIXEL(c, side + 2, H / 2, background);
        }
        if (H > side) {
            EXPECT_PIXEL(c, W / 2, (H - side) / 2 + 20, background);
        }
        r.reset();
        XDestroyWindow(x->display, host);
    }
}

TEST_F(RendererPresentation, OneFrameIsUploadedOnce) {
    auto r = sized(160, 120);
    const auto first = test::deviceFrame(test::uniformFrame(16, 0.5));
    const auto second = test::deviceFrame(test::uniformFrame(16, -0.5));
    const auto larger = test::deviceFrame(test::uniformFrame(32, 0.5));
    const struct {
        const std::shared_ptr<mirel::Frame>* frame;
        std::uint64_t count, bytes;
    } steps[] = {{&first, 1, 16 * 16 * 12}, {&first, 0, 0}, {&second, 1, 16 * 16 * 12}, {&larger, 1, 32 * 32 * 12}, {&larger, 0, 0}, {&first, 1, 16 * 16 * 12}};
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE("presentation " + std::to_string(i));
        const mirel::RenderTiming t = r->present(*steps[i].frame, mirel::Display{}, 1, 0.0, true, 1.0);
        EXPECT_EQ(t.uploadCount, steps[i].count);
        EXPECT_EQ(t.uploadBytes, steps[i].bytes);
        if (steps[i].count == 0) {
            EXPECT_EQ(t.upload, 0.0);
        }
        EXPECT_GE(t.upload, 0.0);
    }
}

TEST_F(RendererPresentation, GridSizeChangesShowTheNewFrame) {
    auto r = sized(128, 128);
    const mirel::Display display{Field::vorticity, Palette::ember, ColorRange::exposure, 1.2f, 2.5f, false};
    for (int n : {16, 32, 16}) {
        SCOPED_TRACE("N = " + std::to_string(n));
        const test::HostFrame frame = test::hostFrame(n, [n](int x, int) { return x < n / 2 ? 0.8 : -0.8; });
        r->present(test::deviceFrame(frame), display, 1, 0.0, true, 1.0);
        const Capture c = shown(*r);
        for (int column : {30, 90}) {
            const model::Color expected = model::shade(frame, display, (column + 0.5) / 128, 0.5);
            EXPECT_PIXEL(c, column, 64, (RGB8{model::byte(expected.r), model::byte(expected.g), model::byte(expected.b)}));
        }
    }
}

// The text of the font "fixed" drawn by the X server itself at a baseline origin, as a mask.
std::vector<bool> xText(Display* display, int width, int height, int x, int y, const std::string& text) {
    XFontStruct* font = XLoadQueryFont(display, "fixed");
    EXPECT_NE(font, nullptr);
    const Pixmap pixmap = XCreatePixmap(display, DefaultRootWindow(display), width, height, DefaultDepth(display, 0));
    XGCValues values{};
    values.font = font->fid;
    const GC gc = XCreateGC(display, pixmap, GCFont, &values);
    XSetForeground(display, gc, 0);
    XFillRectangle(display, pixmap, gc, 0, 0, width, height);
    XSetForeground(display, gc, 0xffffff);
    XDrawString(display, pixmap, gc, x, y, text.c_str(), static_cast<int>(text.size()));
    XImage* image = XGetImage(display, pixmap, 0, 0, width, height, AllPlanes, ZPixmap);
    std::vector<bool> mask(static_cast<std::size_t>(width) * height);
    for (int j = 0; j < height; ++j)
        for (int i = 0; i < width; ++i) mask[static_cast<std::size_t>(j) * width + i] = XGetPixel(image, i, j) != 0;
    XDestroyImage(image);
    XFreeGC(display, gc);
    XFreePixmap(display, pixmap);
    XFreeFont(display, font);
    return mask;
}

// Whether the region around the text's origin shows exactly its glyphs in ink, allowing the
// glyphs a shift of one pixel in either direction.
bool showsText(const Capture& c, const std::vector<bool>& mask, int left, int top, int right, int bottom) {
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            bool same = true;
            int glyphPixels = 0;
            for (int y = top; y < bottom && same; ++y) {
                for (int x = left; x < right && same; ++x) {
                    const bool set = mask[static_cast<std::size_t>(y - dy) * c.width + (x - dx)];
                    glyphPixels += set;
                    same = set ? near(c.at(x, y), ink, 3) : !near(c.at(x, y), ink, 60);
                }
            }
            if (same && glyphPixels > 0) return true;
        }
    }
    return false;
}

TEST_F(RendererPresentation, OverlayShowsTheSeedAndTheTime) {
    auto r = sized(320, 240);
    r->present(nullptr, mirel::Display{}, 42, 1.5, false, 1.0);
    const Capture c = shown(*r);
    const std::string seed = "UNFORCED - SEED 42";
    EXPECT_TRUE(showsText(c, xText(x->display, 320, 240, 24, 31, seed), 20, 17, 24 + 6 * 18 + 4, 38)) << seed;
    const std::string time = "t 1.500";
    EXPECT_TRUE(showsText(c, xText(x->display, 320, 240, 320 - 104, 240 - 27, time), 320 - 108, 240 - 44,
                          320 - 20, 240 - 20))
        << time;
}

TEST_F(RendererPresentation, SeedLabelGrowsWithTheSeed) {
    auto r = sized(320, 240);
    const struct {
        unsigned long seed;
        int right;
    } labels[] = {{0, 136}, {18446744073709551615ul, 250}};
    for (const auto& label : labels) {
        SCOPED_TRACE("seed " + std::to_string(label.seed));
        r->present(nullptr, mirel::Display{}, label.seed, 0.0, false, 1.0);
        const Capture c = shown(*r);
        EXPECT_PIXEL(c, 16, 27, underPill);
        EXPECT_PIXEL(c, label.right - 3, 27, underPill);
        EXPECT_PIXEL(c, label.right + 2, 27, background);
        EXPECT_PIXEL(c, 12, 27, background);
    }
}

TEST_F(RendererPresentation, PlayButtonShowsTheRunningState) {
    auto r = sized(320, 240);
    r->present(nullptr, mirel::Display{}, 1, 0.0, true, 1.0);
    Capture c = shown(*r);
    // Pause: two bars with a gap between them.
    EXPECT_PIXEL(c, 29, 240 - 32, ink);
    EXPECT_PIXEL(c, 36, 240 - 32, ink);
    EXPECT_PIXEL(c, 33, 240 - 32, underPill);
    r->present(nullptr, mirel::Display{}, 1, 0.0, false, 1.0);
    c = shown(*r);
    // Play: a triangle across the gap.
    EXPECT_PIXEL(c, 33, 240 - 32, ink);
    EXPECT_PIXEL(c, 40, 240 - 38, underPill);
    // Single step and reset are the same in both states.
    EXPECT_PIXEL(c, 67, 240 - 32, ink);
}

}  // namespace
