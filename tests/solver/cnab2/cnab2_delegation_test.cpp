// The native solver with the integrator "CNAB2": it runs the CNAB2 solver and keeps a copy of its
// state in the native layout, so its statistics, diagnostics, snapshots and Reynolds/CFL changes
// must follow the CNAB2 solver exactly; the physics must agree with etdrk4.
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "solver/cnab2/cnab2.hpp"
#include "support/expect_error.hpp"
#include "support/flow_fixture.hpp"

namespace {

using mirel::Complex;
using test::modeField;
using test::readOmega;
using test::relativeDistance;

struct Flow {
    int n;
    std::uint32_t startSpectrum;
    float fixedDt;
};

mirel::Config nativeConfig(const Flow& run) {
    mirel::Config c;
    c.resolution = run.n;
    c.method = mirel::CNAB2;
    c.reynolds = 800.0;
    c.seed = 9;
    c.k0 = 4;
    c.cfl = 0.5f;
    c.fixedDt = run.fixedDt;
    c.startSpectrum = run.startSpectrum;
    return c;
}

// The CNAB2 configuration that the native solver's reset is expected to build.
mirel::legacy::Config legacyConfig(const Flow& run) {
    mirel::legacy::Config c;
    c.N = run.n;
    c.steps = 0;
    c.update = 100;
    c.seed = 9;
    c.Re = 800.0;
    c.K0 = 4.0;
    c.CFL = 0.5;
    c.dt = run.fixedDt;
    c.startSpectrum = run.startSpectrum;
    return c;
}

// The native solver's copy of the flow is -N^2 times the CNAB2 vorticity, with a zero column N/2;
// its clock is the CNAB2 solver's.
void expectFollows(mirel::Solver& solver, const mirel::legacy::Solver& twin, int n) {
    const int h = n / 2;
    const std::vector<Complex> native = readOmega(solver), legacy = twin.spectrum();
    bool same = true;
    for (int y = 0; y < n; ++y)
        for (int x = 0; x <= h; ++x) {
            const Complex want =
                x < h ? Complex{-float(n * n) * legacy[y * h + x].re, -float(n * n) * legacy[y * h + x].im}
                      : Complex{0.0f, 0.0f};
            const Complex got = native[y * (h + 1) + x];
            same = same && got.re == want.re && got.im == want.im;
        }
    EXPECT_TRUE(same);
    const mirel::legacy::Row row = twin.initialRow();
    const mirel::Statistics stats = solver.statistics();
    EXPECT_EQ(stats.steps, static_cast<std::uint64_t>(row.step));
    EXPECT_EQ(stats.simulationTime, row.time);
    EXPECT_EQ(stats.dt, static_cast<float>(row.dt));
    const mirel::legacy::Row own = mirel::SolverInternals::of(solver).cnab->initialRow();
    EXPECT_EQ(own.step, row.step);
    EXPECT_EQ(own.dt, row.dt);
}

class CNAB2Delegation : public test::DeviceTest {};

TEST_F(CNAB2Delegation, FollowsATwinCNAB2Solver) {
    const Flow runs[] = {{16, 0, 0.0f}, {32, 1, 0.0f}, {16, 1, 0.02f}};
    for (const Flow& run : runs) {
        SCOPED_TRACE(testing::Message() << "N=" << run.n << " start " << run.startSpectrum << " dt " << run.fixedDt);
        const int n = run.n;
        mirel::Solver solver(nativeConfig(run));
        mirel::legacy::Solver twin(legacyConfig(run));
        expectFollows(solver, twin, n);

        // The native buffers of "CNAB2" (32 S + 36 N^2 + 3676 bytes, S = N (N/2 + 1)) plus the
        // CNAB2 solver's own.
        const std::uint64_t s = std::uint64_t(n) * (n / 2 + 1);
        EXPECT_EQ(solver.statistics().allocatedBytes,
                  32 * s + 36 * std::uint64_t(n) * n + 3676 + twin.allocatedBytes());
        EXPECT_EQ(solver.inspect().fftBytes,
                  mirel::SolverInternals::of(solver).baseFFT->allocatedBytes() + twin.fftBytes());

        solver.setReynolds(500.0);
        twin.setReynolds(500.0);
        solver.setCFL(0.8f);
        twin.setCFL(0.8f);
        // Valid for the native solver, not for single precision: the CNAB2 refusal stops it.
        test::expectError<std::invalid_argument>([&] { solver.setReynolds(1e39); }, "CNAB2 Re must be finite and positive.");
        test::expectError<std::invalid_argument>([&] { solver.setReynolds(-1.0); }, "Re must be finite and positive.");
        EXPECT_EQ(solver.statistics().reynolds, 500.0);

        solver.advance(150);
        twin.advanceSteps(150, std::nullopt);
        expectFollows(solver, twin, n);

        const double until = solver.statistics().simulationTime + 0.05;
        solver.advance(1000, until);
        twin.advanceSteps(1000, until);
        expectFollows(solver, twin, n);
        EXPECT_EQ(solver.statistics().simulationTime, until);

        solver.advance(3);
        twin.advanceSteps(3, std::nullopt);
        expectFollows(solver, twin, n);

        // A reset builds a new CNAB2 solver at the Reynolds and CFL numbers in force.
        solver.reset({});
        mirel::legacy::Config changed = legacyConfig(run);
        changed.Re = 500.0;
        changed.CFL = double(0.8f);
        mirel::legacy::Solver fresh(changed);
        expectFollows(solver, fresh, n);
        solver.advance(2);
        fresh.advanceSteps(2, std::nullopt);
        expectFollows(solver, fresh, n);
    }
}

// Three interacting modes of different |k|.
std::vector<float> smoothField(int n) {
    std::vector<float> field = modeField(n, 1, 0, 1.0);
    const std::vector<float> second = modeField(n, 1, 2, 0.8), third = modeField(n, 2, -3, 0.6);
    for (std::size_t i = 0; i < field.size(); ++i) field[i] += second[i] + third[i];
    return field;
}

struct Outcome {
    mirel::Statistics stats;
    std::vector<Complex> omega;
};

Outcome runTo(std::uint32_t method, float dt, double until, int n) {
    mirel::Config c;
    c.resolution = n;
    c.method = method;
    c.reynolds = 200.0;
    c.seed = 1;
    c.fixedDt = dt;
    mirel::Solver solver(c, smoothField(n));
    solver.advance(100000, until);
    return {solver.inspect(), readOmega(solver)};
}

TEST_F(CNAB2Delegation, SuppliedFieldReplacesTheGeneratedOne) {
    // The CNAB2 solver restarts from the projected field, in its own scale and sign.
    const int n = 16, h = n / 2;
    mirel::Config c = nativeConfig({n, 0, 0.0f});
    mirel::Solver cnab(c, smoothField(n));
    c.method = 2;
    mirel::Solver native(c, smoothField(n));
    const std::vector<Complex> omega = readOmega(native);
    EXPECT_EQ(relativeDistance(readOmega(cnab), omega), 0.0);
    const mirel::legacy::Solver& inner = *mirel::SolverInternals::of(cnab).cnab;
    const std::vector<Complex> legacy = inner.spectrum();
    bool same = true;
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < h; ++x) {
            const Complex w = omega[y * (h + 1) + x];
            same = same && legacy[y * h + x].re == -w.re / float(n * n) && legacy[y * h + x].im == -w.im / float(n * n);
        }
    EXPECT_TRUE(same);
    EXPECT_EQ(inner.initialRow().step, 0);
    EXPECT_EQ(cnab.statistics().steps, 0u);
}

TEST_F(CNAB2Delegation, AgreesWithETDRK4ToSecondOrder) {
    const int n = 32;
    const double until = 1.0;
    const Outcome reference = runTo(2, 0.005f, until, n);
    double previous = 0.0;
    for (const float dt : {0.04f, 0.02f, 0.01f}) {
        SCOPED_TRACE(testing::Message() << "dt " << dt);
        const Outcome cnab = runTo(mirel::CNAB2, dt, until, n);
        EXPECT_EQ(cnab.stats.simulationTime, until);
        const double energy = std::fabs(cnab.stats.energy / reference.stats.energy - 1.0);
        const double enstrophy = std::fabs(cnab.stats.enstrophy / reference.stats.enstrophy - 1.0);
        const double spectrum = relativeDistance(cnab.omega, reference.omega);
        EXPECT_LT(spectrum, 6.0 * dt * dt);
        EXPECT_LT(energy, 0.5 * dt * dt);
        EXPECT_LT(enstrophy, 2.0 * dt * dt);
        if (previous > 0.0) {
            EXPECT_GT(previous / spectrum, 3.0) << "halving dt should quarter the error";
        }
        previous = spectrum;
    }
}

TEST_F(CNAB2Delegation, EnergyDecaysAtTheViscousRate) {
    // dE/dt = -2 nu Z: the nonlinear term only moves energy between modes.
    const int n = 32;
    const double nu = 1.0 / 200.0, t = 0.5, delta = 0.05;
    const mirel::Statistics before = runTo(mirel::CNAB2, 0.005f, t - delta, n).stats;
    const mirel::Statistics middle = runTo(mirel::CNAB2, 0.005f, t, n).stats;
    const mirel::Statistics after = runTo(mirel::CNAB2, 0.005f, t + delta, n).stats;
    const double rate = (after.energy - before.energy) / (2 * delta);
    EXPECT_NEAR(rate, -2 * nu * middle.enstrophy, 5e-3 * 2 * nu * middle.enstrophy);
}

TEST_F(CNAB2Delegation, SnapshotTakesTheNyquistRowAsNegativeAndReal) {
    // The mode (kx = 0, row N/2) = a + ib is the wave of ky = -N/2: on the grid the vorticity is
    // a cos(-(N/2) y), and the velocity u = (b / (N/2)) cos(-(N/2) y), v = 0.
    const int n = 16, h = n / 2;
    const float a = 3.0f * n * n, b = -5.0f * n * n;
    mirel::Config c = nativeConfig({n, 0, 0.0f});
    mirel::Solver solver(c);
    std::vector<Complex> omega(static_cast<std::size_t>(n) * (h + 1), Complex{0.0f, 0.0f});
    omega[static_cast<std::size_t>(h) * (h + 1)] = {a, b};
    test::writeOmega(solver, omega);
    const std::shared_ptr<mirel::Frame> frame = solver.snapshot(true);
    ASSERT_NE(frame, nullptr);
    const std::vector<float> planes = solver.readFrame(*frame);
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            const double wave = std::cos(-h * test::twoPi * j / n);
            const std::size_t at = static_cast<std::size_t>(j) * n + i;
            EXPECT_NEAR(planes[at], 3.0 * wave, 1e-5) << i << ", " << j;
            EXPECT_NEAR(planes[n * n + at], -5.0 / h * wave, 1e-5) << i << ", " << j;
            EXPECT_NEAR(planes[2 * n * n + at], 0.0, 1e-5) << i << ", " << j;
        }
    EXPECT_NEAR(frame->max_vorticity, 3.0f, 1e-5f);
    EXPECT_NEAR(frame->std_vorticity, 3.0f, 1e-5f);
    EXPECT_NEAR(frame->max_speed, 5.0f / h, 1e-5f);
}

}  // namespace
