#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/engine_fixture.hpp"
#include "support/file_bytes.hpp"
#include "support/two_pi.hpp"

// What the protocol page says the statistics and the raw files mean, checked on a real flow
// against transforms and sums computed here in double precision: the spectrum file is the
// transform of the fields file's vorticity plane, the velocity planes follow from it by the stated
// sign convention, the diagnostics are the stated sums, and the vorticity plane starts a new run.
namespace {

using nlohmann::json;
using Complex = std::complex<double>;
using Plane = std::vector<Complex>;

constexpr int n = 32;
constexpr std::size_t cells = static_cast<std::size_t>(n) * n;

// The signed wavenumber of index i on an axis of n points, in the usual FFT order.
int wave(int i) { return i <= n / 2 ? i : i - n; }

// (1/N^2) sum over y, x of plane[N y + x] e^{-2 pi i (c x + r y) / N}, at index N r + c.
Plane transform(const float* plane) {
    std::vector<Complex> phase(n);
    for (int j = 0; j < n; ++j) phase[j] = std::polar(1.0, -test::twoPi * j / n);
    Plane result(cells);
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) {
            Complex sum = 0;
            for (int y = 0; y < n; ++y)
                for (int x = 0; x < n; ++x) sum += static_cast<double>(plane[n * y + x]) * phase[(c * x + r * y) % n];
            result[n * r + c] = sum / static_cast<double>(cells);
        }
    return result;
}

double largest(const Plane& plane) {
    double most = 0;
    for (const Complex& value : plane) most = std::max(most, std::abs(value));
    return most;
}

double meanOfSquares(const float* plane) {
    double sum = 0;
    for (std::size_t i = 0; i < cells; ++i) sum += static_cast<double>(plane[i]) * plane[i];
    return sum / static_cast<double>(cells);
}

class FlowNumbers : public test::EngineTest {
protected:
    const json configuration = {{"resolution", n}, {"seed", 5}, {"reynolds", 800}};
};

TEST_F(FlowNumbers, RawFilesAreTheDocumentedTransformsAndPlanes) {
    test::Engine engine(configuration);
    engine({{"op", "advance"}, {"steps", 40}});
    ASSERT_EQ(engine({{"op", "export"}, {"spectrum", file("spectrum.raw")}, {"fields", file("fields.raw")}}).value("grid_size", 0),
              n);
    const json flow = engine({{"op", "inspect"}});

    // No header: the sizes follow from N alone.
    EXPECT_EQ(std::filesystem::file_size(file("spectrum.raw")), 8 * cells);
    EXPECT_EQ(std::filesystem::file_size(file("fields.raw")), 12 * cells);
    const std::vector<float> pairs = test::floatsOf(file("spectrum.raw"));
    const std::vector<float> fields = test::floatsOf(file("fields.raw"));
    Plane spectrum(cells);
    for (std::size_t i = 0; i < cells; ++i) spectrum[i] = {pairs[2 * i], pairs[2 * i + 1]};
    const float* vorticity = fields.data();
    const float* u = vorticity + cells;
    const float* v = u + cells;

    // The spectrum is the transform of the vorticity plane over N^2, to single precision.
    const Plane omega = transform(vorticity);
    const double scale = largest(omega);
    ASSERT_GT(scale, 0.0);
    for (std::size_t i = 0; i < cells; ++i)
        ASSERT_LT(std::abs(spectrum[i] - omega[i]), 1e-5 * scale) << "row " << i / n << " column " << i % n;

    // u = d psi / dy and v = -d psi / dx with omega = -laplacian psi: in modes, u = i ky w / k^2 and
    // v = -i kx w / k^2, kx the wavenumber of the column (the fast axis x), ky that of the row.
    const Plane uModes = transform(u);
    const Plane vModes = transform(v);
    const Complex i1(0, 1);
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) {
            const int kx = wave(c), ky = wave(r);
            const double k2 = kx * kx + ky * ky;
            const Complex w = omega[n * r + c];
            const Complex expectedU = k2 > 0 ? i1 * static_cast<double>(ky) * w / k2 : 0.0;
            const Complex expectedV = k2 > 0 ? -i1 * static_cast<double>(kx) * w / k2 : 0.0;
            ASSERT_LT(std::abs(uModes[n * r + c] - expectedU), 1e-5 * scale) << "u at kx " << kx << " ky " << ky;
            ASSERT_LT(std::abs(vModes[n * r + c] - expectedV), 1e-5 * scale) << "v at kx " << kx << " ky " << ky;
        }

    // The diagnostics: E = 1/2 <u^2 + v^2>, Z = 1/2 <omega^2>, P = 1/2 sum k^2 |w|^2, and the ratio
    // P / (2 Z (N/2 - 1)^2).
    double palinstrophy = 0;
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c)
            palinstrophy += 0.5 * (wave(c) * wave(c) + wave(r) * wave(r)) * std::norm(spectrum[n * r + c]);
    const double energy = flow["energy"], enstrophy = flow["enstrophy"], measured = flow["palinstrophy"];
    EXPECT_NEAR(energy, 0.5 * (meanOfSquares(u) + meanOfSquares(v)), 1e-5 * energy);
    EXPECT_NEAR(enstrophy, 0.5 * meanOfSquares(vorticity), 1e-5 * enstrophy);
    EXPECT_NEAR(measured, palinstrophy, 1e-5 * palinstrophy);
    const double k = n / 2 - 1;
    EXPECT_NEAR(flow["palinstrophy_ratio"].get<double>(), measured / (2 * enstrophy * k * k), 1e-12 * measured);

    // The vorticity plane, the first 4 N^2 bytes, starts a new run at the same flow.
    test::writeFloats(file("initial.raw"), std::vector<float>(vorticity, vorticity + cells));
    json restart = configuration;
    restart["initial"] = file("initial.raw");
    test::Engine again(restart);
    again({{"op", "export"}, {"spectrum", file("again.raw")}});
    const std::vector<float> restarted = test::floatsOf(file("again.raw"));
    ASSERT_EQ(restarted.size(), pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) ASSERT_NEAR(restarted[i], pairs[i], 1e-5 * scale) << i;
}

// The frame summary holds figures of the fields file's planes: the largest |omega|, the mean and
// standard deviation over the grid points, the largest speed (0 without velocity), and the clock
// of the statistics.
TEST_F(FlowNumbers, FrameSummaryHoldsTheFiguresOfTheFieldsFile) {
    test::Engine engine(configuration);
    engine({{"op", "advance"}, {"steps", 25}});
    const json flow = engine({{"op", "inspect"}});
    for (const bool velocity : {true, false}) {
        SCOPED_TRACE(velocity ? "with velocity" : "without velocity");
        const json frame = engine({{"op", "export"}, {"fields", file("fields.raw")}, {"include_velocity", velocity}});
        const std::vector<float> fields = test::floatsOf(file("fields.raw"));
        ASSERT_EQ(fields.size(), 3 * cells);
        float largest = 0, fastest = 0;
        double sum = 0, squares = 0;
        for (std::size_t i = 0; i < cells; ++i) {
            const float w = fields[i], u = fields[cells + i], v = fields[2 * cells + i];
            largest = std::max(largest, std::fabs(w));
            fastest = std::max(fastest, std::sqrt(u * u + v * v));
            sum += w;
            squares += static_cast<double>(w) * w;
        }
        const double mean = sum / cells;
        const double deviation = std::sqrt(squares / cells - mean * mean);
        EXPECT_EQ(frame["max_vorticity"].get<double>(), largest);
        EXPECT_NEAR(frame["mean_vorticity"].get<double>(), mean, 1e-6 * deviation);
        EXPECT_NEAR(frame["std_vorticity"].get<double>(), deviation, 1e-6 * deviation);
        EXPECT_NEAR(frame["max_speed"].get<double>(), fastest, 1e-6 * fastest);
        EXPECT_EQ(frame["max_speed"].get<double>() > 0, velocity);
        EXPECT_EQ(frame["grid_size"], n);
        EXPECT_EQ(frame["sequence"], flow["steps"]);
        EXPECT_EQ(frame["time"], flow["simulation_time"]);
    }
}

// "advance" answers the clock of the flow after it, but the diagnostics of the last inspection;
// "inspect" measures the flow as it is. The initial turnover time is 2 pi / sqrt(2 Z) of the start.
TEST_F(FlowNumbers, AdvanceRepeatsTheLastInspection) {
    test::Engine engine(configuration);
    const json start = engine({{"op", "inspect"}});
    const double enstrophy = start["enstrophy"];
    EXPECT_NEAR(start["initial_turnover_time"].get<double>(), test::twoPi / std::sqrt(2 * enstrophy),
                1e-12 * test::twoPi / std::sqrt(2 * enstrophy));

    const json advanced = engine({{"op", "advance"}, {"steps", 30}});
    EXPECT_EQ(advanced["steps"], 30);
    EXPECT_GT(advanced["simulation_time"].get<double>(), 0.0);
    const json now = engine({{"op", "inspect"}});
    EXPECT_EQ(now["simulation_time"], advanced["simulation_time"]);
    for (const char* key : {"energy", "enstrophy", "palinstrophy", "palinstrophy_ratio"}) {
        SCOPED_TRACE(key);
        EXPECT_EQ(advanced[key], start[key]);
        EXPECT_NE(now[key], start[key]);
    }
}

}  // namespace
