// Field shading, checked pixel by pixel in exported PNG files against the palette formulas and
// periodic bilinear sampling evaluated on the host.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include <GL/gl.h>

#include "png_file.hpp"
#include "renderer_fixture.hpp"
#include "shading_model.hpp"
#include "test_frames.hpp"

namespace {

using mirel::ColorRange;
using mirel::Field;
using mirel::Palette;
using test::HostFrame;
using test::PNGImage;
using test::RGBA8;
namespace model = test::model;

constexpr double pi = 3.14159265358979323846;
// Eight-bit rounding on the device and on the host may differ by one; the rest is float error.
constexpr int tolerance = 2;

// A ramp of vorticity that rises slowly along x and steeply along y, so that it jumps across
// both seams of the periodic grid, and a velocity field that varies in both directions.
HostFrame knownFrame(int n) {
    return test::hostFrame(
        n, [n](int x, int y) { return -1.0 + 2.0 * (x + n * y) / (n * n - 1.0); },
        [n](int x, int) { return 0.8 * std::sin(2 * pi * x / n); },
        [n](int x, int y) { return 0.5 * std::cos(2 * pi * y / n) + 0.1 * x / n; });
}

// Pixel (column, row) of a size x size image, rows from the top, against the shading at the
// pixel's centre.
void expectShading(const PNGImage& image, const HostFrame& frame, const mirel::Display& display) {
    const int size = image.width;
    int mismatches = 0;
    for (int row = 0; row < size; ++row) {
        for (int column = 0; column < size; ++column) {
            const double u = (column + 0.5) / size, v = (size - 1 - row + 0.5) / size;
            const model::Color c = model::shade(frame, display, u, v);
            const RGBA8 p = image.at(column, row);
            const bool close = std::abs(p.r - model::byte(c.r)) <= tolerance &&
                               std::abs(p.g - model::byte(c.g)) <= tolerance &&
                               std::abs(p.b - model::byte(c.b)) <= tolerance && p.a == 255;
            if (!close && ++mismatches <= 3) {
                ADD_FAILURE() << "pixel (" << column << ", " << row << "): " << p.r << " " << p.g << " " << p.b << " "
                              << p.a << ", expected " << model::byte(c.r) << " " << model::byte(c.g) << " "
                              << model::byte(c.b) << " 255";
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}

struct ShadingCase {
    int field, palette, colorRange;
    float exposure, sigma;
};

class RendererShading : public test::RendererTest {
protected:
    PNGImage exported(const HostFrame& frame, const mirel::Display& display, int size) {
        auto r = desktop();
        const auto path = folder / "field.png";
        r->exportPNG(test::deviceFrame(frame), display, path, size);
        return test::readPNG(path);
    }
};

TEST_F(RendererShading, EveryFieldPaletteAndRangeFollowsTheFormulas) {
    const ShadingCase cases[] = {
        // Palette 5 is no palette of its own and shades as aurora.
        {0, 0, 0, 1.2f, 2.5f},
        {0, 1, 0, 1.2f, 2.5f},
        {0, 2, 0, 1.2f, 2.5f},
        {0, 3, 0, 1.2f, 2.5f},
        {0, 5, 0, 1.2f, 2.5f},
        {0, 0, 1, 1.2f, 2.5f},
        {0, 1, 1, 0.7f, 2.5f},
        {0, 2, 1, 3.0f, 2.5f},
        {0, 3, 1, 1.2f, 2.5f},
        {0, 5, 1, 1.2f, 2.5f},
        {0, 1, 0, 1.2f, 0.5f},
        {1, 0, 0, 1.2f, 2.5f},
        {1, 1, 0, 1.2f, 2.5f},
        {1, 2, 1, 1.2f, 2.5f},
        {1, 3, 0, 2.0f, 2.5f},
        {1, 5, 0, 1.2f, 2.5f},
        {2, 0, 0, 1.2f, 2.5f},
        {2, 1, 1, 1.2f, 2.5f},
        {2, 2, 0, 0.5f, 2.5f},
        {2, 3, 0, 1.2f, 2.5f},
        // Any field other than 0 and 1 is enstrophy; an exposure below 0.02 counts as 0.02.
        {7, 1, 0, 1.2f, 2.5f},
        {1, 1, 0, 0.001f, 2.5f},
    };
    const HostFrame frame = knownFrame(16);
    auto r = desktop();
    const auto device = test::deviceFrame(frame);
    for (const ShadingCase& c : cases) {
        SCOPED_TRACE("field " + std::to_string(c.field) + " palette " + std::to_string(c.palette) + " range " +
                     std::to_string(c.colorRange) + " exposure " + std::to_string(c.exposure) + " sigma " +
                     std::to_string(c.sigma));
        // Values beyond the named ones are kept: the shader must take them too.
        const mirel::Display display{static_cast<mirel::Field>(c.field), static_cast<mirel::Palette>(c.palette),
                                     static_cast<mirel::ColorRange>(c.colorRange), c.exposure, c.sigma, false};
        const auto path = folder / "field.png";
        r->exportPNG(device, display, path, 64);
        const PNGImage image = test::readPNG(path);
        ASSERT_EQ(image.width, 64);
        ASSERT_EQ(image.height, 64);
        expectShading(image, frame, display);
    }
}

TEST_F(RendererShading, InfernoPassesThroughItsSixStops) {
    // Sigma range with mean 0 and standard deviation 1: vorticity 2t - 1 maps to t.
    const mirel::Display display{Field::vorticity, Palette::inferno, ColorRange::sigma, 1.2f, 1.0f, false};
    for (int k = 0; k <= 5; ++k) {
        SCOPED_TRACE("stop " + std::to_string(k));
        HostFrame frame = test::uniformFrame(4, 2.0 * k / 5.0 - 1.0);
        frame.mean = 0.0f;
        frame.std = 1.0f;
        const PNGImage image = exported(frame, display, 4);
        const model::Color stop = model::infernoStops[k];
        const RGBA8 p = image.at(1, 2);
        EXPECT_NEAR(p.r, model::byte(stop.r), 1);
        EXPECT_NEAR(p.g, model::byte(stop.g), 1);
        EXPECT_NEAR(p.b, model::byte(stop.b), 1);
    }
}

TEST_F(RendererShading, ColourRangesUseTheirOwnScales) {
    // Sigma range: scale sigma x standard deviation about the mean; exposure range: the largest
    // |vorticity|, with no mean taken off.
    HostFrame frame = test::uniformFrame(4, 0.5);
    frame.mean = 0.25f;
    frame.std = 0.1f;
    frame.maxVorticity = 2.0f;
    const RGBA8 sigma = exported(frame, {Field::vorticity, Palette::ember, ColorRange::sigma, 1.2f, 5.0f, false}, 2).at(0, 0);
    const model::Color expectedSigma = model::signedColor(Palette::ember, (0.5 - 0.25) / (5.0 * 0.1));
    EXPECT_NEAR(sigma.r, model::byte(expectedSigma.r), 1);
    EXPECT_NEAR(sigma.g, model::byte(expectedSigma.g), 1);
    const RGBA8 exposure = exported(frame, {Field::vorticity, Palette::ember, ColorRange::exposure, 1.2f, 5.0f, false}, 2).at(0, 0);
    const model::Color expectedExposure = model::signedColor(Palette::ember, std::tanh(0.5 / 2.0 * 1.2 * 2.4));
    EXPECT_NEAR(exposure.r, model::byte(expectedExposure.r), 1);
    EXPECT_NEAR(exposure.g, model::byte(expectedExposure.g), 1);
    // A flat field: the sigma scale bottoms out at 1e-12, so any excess saturates the colour.
    frame.std = 0.0f;
    const RGBA8 flat = exported(frame, {Field::vorticity, Palette::ember, ColorRange::sigma, 1.2f, 5.0f, false}, 2).at(0, 0);
    const model::Color saturated = model::signedColor(Palette::ember, 1.0);
    EXPECT_NEAR(flat.r, model::byte(saturated.r), 1);
    EXPECT_NEAR(flat.g, model::byte(saturated.g), 1);
    EXPECT_NEAR(flat.b, model::byte(saturated.b), 1);
}

TEST_F(RendererShading, ThreeByThreeImageStartsWithTheTopRow) {
    const HostFrame frame = test::hostFrame(3, [](int, int y) { return static_cast<double>(y); });
    const mirel::Display display{Field::vorticity, Palette::ember, ColorRange::exposure, 1.2f, 2.5f, false};
    const PNGImage image = exported(frame, display, 3);
    ASSERT_EQ(image.width, 3);
    expectShading(image, frame, display);
    // The largest vorticity is in the top row of the grid, y = 2.
    EXPECT_GT(image.at(1, 0).g, image.at(1, 2).g);
}

class RendererFlowLines : public RendererShading {
protected:
    const mirel::Display flowOff{Field::vorticity, Palette::glacier, ColorRange::sigma, 1.2f, 2.5f, false};
    const mirel::Display flowOn{Field::vorticity, Palette::glacier, ColorRange::sigma, 1.2f, 2.5f, true};
};

TEST_F(RendererFlowLines, NeedVelocity) {
    HostFrame frame = knownFrame(16);
    frame.velocity = false;
    EXPECT_EQ(exported(frame, flowOn, 128).bytes, exported(frame, flowOff, 128).bytes);
    // With velocity that is zero everywhere the lines have no opacity.
    const HostFrame still = test::hostFrame(
        16, [](int x, int) { return x / 16.0; }, [](int, int) { return 0.0; }, [](int, int) { return 0.0; });
    EXPECT_EQ(exported(still, flowOn, 128).bytes, exported(still, flowOff, 128).bytes);
}

TEST_F(RendererFlowLines, AreBlendedOnlyWhereTheFlowMoves) {
    // Uniform flow to the right in the left half, none in the right half: lines start at every
    // seed, but only those in the moving half are visible, and they reach at most nine steps of
    // 0.01 to the right of it.
    constexpr int n = 32, size = 256;
    const HostFrame frame = test::hostFrame(
        n, [](int x, int y) { return std::sin(x + 2.0 * y); }, [](int x, int) { return x < n / 2 ? 1.0 : 0.0; },
        [](int, int) { return 0.0; });
    const PNGImage plain = exported(frame, flowOff, size);
    const PNGImage lines = exported(frame, flowOn, size);
    const RGBA8 lineColour{194, 237, 255, 0};
    int blendedLeft = 0;
    for (int row = 0; row < size; ++row) {
        for (int column = 0; column < size; ++column) {
            const RGBA8 before = plain.at(column, row), after = lines.at(column, row);
            ASSERT_EQ(before.a, 255);
            const double u = (column + 0.5) / size;
            const int change = std::max({std::abs(after.r - before.r), std::abs(after.g - before.g),
                                         std::abs(after.b - before.b)});
            if (u > 0.65 && u < 0.95) {
                ASSERT_EQ(change, 0) << "pixel (" << column << ", " << row << ") in the still half";
                ASSERT_EQ(after.a, 255);
            }
            if (after.a == 255) {
                ASSERT_LE(change, 1) << "pixel (" << column << ", " << row << ") changed without blending";
                continue;
            }
            if (u < 0.5) ++blendedLeft;
            // Each line blends with opacity at most 0.25 toward its colour: every channel moves
            // toward it, and alpha is opacity^2 + (1 - opacity) for one line.
            const auto between = [](int from, int to, int value) {
                return value >= std::min(from, to) - 1 && value <= std::max(from, to) + 1;
            };
            ASSERT_TRUE(between(before.r, lineColour.r, after.r) && between(before.g, lineColour.g, after.g) &&
                        between(before.b, lineColour.b, after.b))
                << "pixel (" << column << ", " << row << ")";
        }
    }
    // 512 seeds lie in the moving half, each a line of about 0.18 x 256 pixels.
    EXPECT_GT(blendedLeft, 5000);
}

TEST_F(RendererShading, TextureRenderClampsItsSide) {
    const HostFrame frame = knownFrame(16);
    auto r = desktop();
    const auto device = test::deviceFrame(frame);
    const mirel::Display display{Field::vorticity, Palette::aurora, ColorRange::sigma, 1.2f, 2.5f, false};
    const struct {
        int asked, made;
    } sides[] = {{0, 1}, {-3, 1}, {10000, 4096}, {33, 33}};
    mirel::RenderTiming first;
    for (const auto& side : sides) {
        SCOPED_TRACE("side " + std::to_string(side.asked));
        mirel::RenderTiming timing;
        const unsigned texture = r->renderTexture(device, display, side.asked, timing);
        if (side.asked == 0) first = timing;
        ASSERT_NE(texture, 0u);
        glBindTexture(GL_TEXTURE_2D, texture);
        GLint width = 0, height = 0;
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
        EXPECT_EQ(width, side.made);
        EXPECT_EQ(height, side.made);
        if (side.made == 33) {
            std::vector<unsigned char> pixels(33 * 33 * 4);
            glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
            // Texture rows run from the bottom: row 5, column 20.
            const model::Color c = model::shade(frame, display, 20.5 / 33, 5.5 / 33);
            const unsigned char* p = &pixels[(5 * 33 + 20) * 4];
            EXPECT_NEAR(p[0], model::byte(c.r), tolerance);
            EXPECT_NEAR(p[1], model::byte(c.g), tolerance);
            EXPECT_NEAR(p[2], model::byte(c.b), tolerance);
        }
        if (side.asked != 0) {
            EXPECT_EQ(timing.uploadCount, 0u);
        }
    }
    EXPECT_EQ(first.uploadCount, 1u);
    EXPECT_EQ(first.uploadBytes, 16u * 16u * 12u);
    EXPECT_EQ(first.swap, 0.0);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(RendererShading, TextureRenderNeedsAFrame) {
    auto r = desktop();
    mirel::RenderTiming timing;
    try {
        r->renderTexture(nullptr, mirel::Display{}, 16, timing);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "No frame to render.");
    }
}

TEST_F(RendererShading, UnwritablePathFailsAndLeavesTheWindowFramebufferBound) {
    const HostFrame frame = knownFrame(16);
    auto r = desktop();
    const auto device = test::deviceFrame(frame);
    const auto missing = folder / "no such folder" / "field.png";
    try {
        r->exportPNG(device, mirel::Display{}, missing, 8);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        const std::string message = e.what();
        EXPECT_EQ(message.rfind("Write PNG: ", 0), 0u) << message;
        EXPECT_GT(message.size(), std::string("Write PNG: ").size());
    }
    EXPECT_FALSE(std::filesystem::exists(missing));
    GLint bound = -1;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &bound);
    EXPECT_EQ(bound, 0);
    // The renderer goes on working.
    const auto path = folder / "field.png";
    r->exportPNG(device, mirel::Display{}, path, 8);
    EXPECT_EQ(test::readPNG(path).width, 8);
}

}  // namespace
