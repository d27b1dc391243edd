// A frame of a real simulation, exported as a PNG: its pixels follow the shading of the frame's
// own planes, and flow lines from its velocity are drawn over them. The picture is kept in the
// build folder (QM_FRAME_PICTURE) for the README.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "mirel/solver.hpp"
#include "png_file.hpp"
#include "renderer_fixture.hpp"
#include "shading_model.hpp"
#include "solver/cuda/cuda_loader.hpp"
#include "test_frames.hpp"

namespace {

using mirel::ColorRange;
using mirel::Field;
using mirel::Palette;
namespace model = test::model;

using RendererSimulationFrame = test::RendererTest;

TEST_F(RendererSimulationFrame, ExportedPictureShowsTheFrame) {
    mirel::initializeCudaLoader();
    mirel::Config config;
    config.resolution = 128;
    config.reynolds = 2000.0;
    mirel::Solver solver(config);
    solver.advance(60);
    const auto frame = solver.snapshot(true);
    ASSERT_NE(frame, nullptr);

    test::HostFrame host;
    host.n = frame->grid_size;
    host.planes = solver.readFrame(*frame);
    host.velocity = true;
    host.mean = frame->mean_vorticity;
    host.std = frame->std_vorticity;
    host.maxVorticity = frame->max_vorticity;
    host.maxSpeed = frame->max_speed;

    auto r = desktop();
    const mirel::Display plain{Field::vorticity, Palette::ember, ColorRange::sigma, 1.2f, 2.5f, false};
    const auto path = folder / "frame.png";
    r->exportPNG(frame, plain, path, 256);
    const test::PNGImage image = test::readPNG(path);
    int mismatches = 0;
    for (int row = 0; row < 256; row += 5) {
        for (int column = 0; column < 256; column += 5) {
            const model::Color c = model::shade(host, plain, (column + 0.5) / 256, (255 - row + 0.5) / 256);
            const test::RGBA8 p = image.at(column, row);
            mismatches += std::abs(p.r - model::byte(c.r)) > 2 || std::abs(p.g - model::byte(c.g)) > 2 ||
                          std::abs(p.b - model::byte(c.b)) > 2;
        }
    }
    EXPECT_EQ(mismatches, 0);

    const mirel::Display withLines{Field::vorticity, Palette::ember, ColorRange::sigma, 1.2f, 2.5f, true};
    const std::filesystem::path picture = QM_FRAME_PICTURE;
    r->exportPNG(frame, withLines, picture, 512);
    const test::PNGImage shown = test::readPNG(picture);
    int blended = 0;
    for (std::size_t i = 3; i < shown.bytes.size(); i += 4) blended += shown.bytes[i] < 255;
    EXPECT_GT(blended, 512 * 512 / 20);
}

}  // namespace
