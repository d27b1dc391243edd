// Energy, enstrophy and palinstrophy of hand-built spectra and of fields with known integrals,
// and the failure of a non-finite field.
#include <cmath>
#include <limits>
#include <vector>

#include "support/flow_fixture.hpp"
#include "support/messages.hpp"

namespace {

using mirel::Complex;
using test::modeIndex;

class SpectralDiagnostics : public test::DeviceTest {
protected:
    static constexpr int n = 16;
    mirel::Solver solver{test::flowConfig(n, 2, 1000.0)};

    // omega holding only the given modes, each as N^2 times its Fourier coefficient.
    void load(const std::vector<std::pair<std::size_t, Complex>>& modes) {
        std::vector<Complex> omega(std::size_t(n) * (n / 2 + 1), Complex{0.0f, 0.0f});
        for (const auto& [index, coefficient] : modes)
            omega[index] = Complex{coefficient.re * n * n, coefficient.im * n * n};
        test::writeOmega(solver, omega);
    }
};

// With w the Fourier coefficient, each stored mode adds g |w|^2 / 2 to the enstrophy Z, that over
// k^2 to the energy and that times k^2 to the palinstrophy P, with g = 1 in the columns kx = 0 and
// N/2 (no mirror in the half spectrum) and 2 elsewhere; the ratio is P / (2 Z (N/2 - 1)^2).
TEST_F(SpectralDiagnostics, HandBuiltSpectra) {
    struct Mode {
        int kx, ky;
        Complex w;
    };
    struct Case {
        const char* name;
        std::vector<Mode> modes;
        double energy, enstrophy, palinstrophy;
    };
    const Case cases[] = {
        {"nothing", {}, 0.0, 0.0, 0.0},
        {"interior (3, -2)", {{3, -2, {3.0f, 4.0f}}}, 25.0 / 13.0, 25.0, 25.0 * 13.0},
        {"column 0, (0, 5)", {{0, 5, {3.0f, 4.0f}}}, 12.5 / 25.0, 12.5, 12.5 * 25.0},
        {"column N/2, (8, 3)", {{8, 3, {1.0f, 2.0f}}}, 2.5 / 73.0, 2.5, 2.5 * 73.0},
        {"row N/2, (0, 8)", {{0, 8, {0.0f, -2.0f}}}, 2.0 / 64.0, 2.0, 2.0 * 64.0},
        {"corner, (7, -7)", {{7, -7, {0.5f, 0.0f}}}, 0.25 / 98.0, 0.25, 0.25 * 98.0},
        {"the mean", {{0, 0, {3.0f, 4.0f}}}, 0.0, 12.5, 0.0},
        {"three modes",
         {{1, 0, {1.0f, 0.0f}}, {0, -1, {0.0f, 1.0f}}, {2, 2, {-1.0f, 1.0f}}},
         1.0 + 0.5 + 2.0 / 8.0,
         1.0 + 0.5 + 2.0,
         1.0 + 0.5 + 2.0 * 8.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::pair<std::size_t, Complex>> modes;
        for (const Mode& mode : c.modes) modes.emplace_back(modeIndex(n, mode.kx, mode.ky), mode.w);
        load(modes);
        const mirel::Statistics stats = solver.inspect();
        EXPECT_NEAR(stats.energy, c.energy, 1e-7 * c.energy);
        EXPECT_NEAR(stats.enstrophy, c.enstrophy, 1e-7 * c.enstrophy);
        EXPECT_NEAR(stats.palinstrophy, c.palinstrophy, 1e-7 * c.palinstrophy);
        const double ratio = c.enstrophy > 0.0 ? c.palinstrophy / (2.0 * c.enstrophy * 49.0) : 0.0;
        EXPECT_NEAR(stats.palinstrophyRatio, ratio, 1e-7 * ratio);
    }
}

// N = 192 has 97 * 192 = 18624 modes, more than the 64 x 256 threads of the reduction: mode
// (10, -12) at index 17470 is a second visit of its thread.
TEST_F(SpectralDiagnostics, SpectrumLargerThanTheReductionGrid) {
    constexpr int large = 192;
    mirel::Solver big(test::flowConfig(large, 0, 1000.0));
    std::vector<Complex> omega(std::size_t(large) * (large / 2 + 1), Complex{0.0f, 0.0f});
    const float n2 = float(large * large);
    omega[modeIndex(large, 5, 3)] = Complex{n2, 0.0f};
    omega[modeIndex(large, 10, -12)] = Complex{0.0f, 2.0f * n2};
    ASSERT_GE(modeIndex(large, 10, -12), 64u * 256u);
    test::writeOmega(big, omega);
    const mirel::Statistics stats = big.inspect();
    EXPECT_NEAR(stats.enstrophy, 1.0 + 4.0, 1e-6);
    EXPECT_NEAR(stats.energy, 1.0 / 34.0 + 4.0 / 244.0, 1e-7);
    EXPECT_NEAR(stats.palinstrophy, 34.0 + 4.0 * 244.0, 1e-4);
    EXPECT_NEAR(stats.palinstrophyRatio, (34.0 + 4.0 * 244.0) / (2.0 * 5.0 * 95.0 * 95.0), 1e-9);
}

// Inspecting measures and changes nothing; it reports the clock of the last step.
TEST_F(SpectralDiagnostics, InspectLeavesFlowAndClockAlone) {
    const mirel::Statistics stepped = solver.advance(3);
    const std::vector<Complex> omega = test::readOmega(solver);
    const mirel::Statistics first = solver.inspect();
    const mirel::Statistics second = solver.inspect();
    EXPECT_TRUE(test::sameBits(test::readOmega(solver), omega));
    EXPECT_EQ(first.steps, 3u);
    EXPECT_EQ(first.simulationTime, stepped.simulationTime);
    EXPECT_EQ(first.dt, stepped.dt);
    EXPECT_EQ(first.energy, second.energy);
    EXPECT_EQ(first.enstrophy, second.enstrophy);
    EXPECT_EQ(first.palinstrophy, second.palinstrophy);
    EXPECT_EQ(second.steps, 3u);
}

TEST_F(SpectralDiagnostics, NonFiniteModeFailsTheSolverUntilReset) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float infinity = std::numeric_limits<float>::infinity();
    struct Case {
        const char* name;
        int kx, ky;
        Complex w;
    };
    const Case cases[] = {
        {"NaN, interior", 2, -5, {nan, 1.0f}},
        {"infinity, column N/2", 8, 1, {0.0f, infinity}},
        {"minus infinity, the mean", 0, 0, {-infinity, 0.0f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Complex> omega = test::readOmega(solver);
        omega[modeIndex(n, c.kx, c.ky)] = c.w;
        test::writeOmega(solver, omega);
        test::expectError<std::runtime_error>([&] { solver.inspect(); }, "Non-finite spectral diagnostics.");
        test::expectError<std::runtime_error>([&] { solver.statistics(); }, test::failedMessage);
        test::expectError<std::runtime_error>([&] { solver.inspect(); }, test::failedMessage);
        solver.reset({});
        EXPECT_GT(solver.inspect().energy, 0.0);
    }
}

// Finite modes whose squares overflow single precision.
TEST_F(SpectralDiagnostics, OverflowingSumsFailTheSolver) {
    load({{modeIndex(n, 1, 1), Complex{1e30f, 0.0f}}});
    test::expectError<std::runtime_error>([&] { solver.inspect(); }, "Non-finite spectral reduction.");
    test::expectError<std::runtime_error>([&] { solver.statistics(); }, test::failedMessage);
}

// omega = A cos(kx x + ky y) has Z = <omega^2> / 2 = A^2 / 4, E = Z / k^2, P = Z k^2, and the
// initial turnover time 2 pi / sqrt(2 Z).
TEST_F(SpectralDiagnostics, FieldsWithKnownIntegrals) {
    struct Case {
        int kx, ky;
        double amplitude;
    };
    const Case cases[] = {{1, 0, 1.0}, {3, -2, 0.5}, {0, 7, 2.0}, {6, 5, 3.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "(" << c.kx << ", " << c.ky << ")");
        const double k2 = c.kx * c.kx + c.ky * c.ky;
        const double enstrophy = c.amplitude * c.amplitude / 4.0;
        mirel::Solver field(test::flowConfig(n, 0, 1000.0), test::modeField(n, c.kx, c.ky, c.amplitude));
        const mirel::Statistics stats = field.statistics();
        EXPECT_NEAR(stats.enstrophy, enstrophy, 1e-6 * enstrophy);
        EXPECT_NEAR(stats.energy, enstrophy / k2, 1e-6 * enstrophy / k2);
        EXPECT_NEAR(stats.palinstrophy, enstrophy * k2, 1e-6 * enstrophy * k2);
        EXPECT_NEAR(stats.palinstrophyRatio, k2 / 98.0, 1e-6);
        const double turnover = test::twoPi / std::sqrt(2.0 * enstrophy);
        EXPECT_NEAR(stats.initialTurnoverTime, turnover, 1e-6 * turnover);
    }
}

// The turnover time is measured once, on the initial field, and kept while the flow evolves.
TEST_F(SpectralDiagnostics, InitialTurnoverTimeOfTheStartSpectrum) {
    const mirel::Statistics start = solver.statistics();
    ASSERT_GT(start.enstrophy, 0.0);
    EXPECT_NEAR(start.initialTurnoverTime, test::twoPi / std::sqrt(2.0 * start.enstrophy), 1e-12);
    solver.advance(2);
    EXPECT_EQ(solver.inspect().initialTurnoverTime, start.initialTurnoverTime);
}

}  // namespace
