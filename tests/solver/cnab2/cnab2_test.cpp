// The CNAB2 solver on its own: construction, the Crank-Nicolson / Adams-Bashforth step observed
// through exact viscous decay and through the weights that the nonlinear history receives, the
// end time, the time-step updates, and the exchange of spectra with the native layout.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "solver/cnab2/cnab2.hpp"
#include "support/expect_error.hpp"
#include "support/flow_fixture.hpp"

namespace {

using mirel::Complex;
using mirel::legacy::Row;
using mirel::legacy::Solver;
using test::modeIndex;

constexpr double pi = 3.141592653589793;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();
const std::string invalidConfiguration =
    "Legacy mode requires power-of-two N=16..16384, positive Re/K0/CFL, steps>=0, update>0, seed=1..5010.";
const std::string invalidSteps = "Invalid CNAB2 step count or endpoint.";

mirel::legacy::Config legacyConfig(int n, double reynolds, float dt, double cfl = 0.5, int update = 100,
                                   std::uint32_t startSpectrum = 0) {
    mirel::legacy::Config c;
    c.N = n;
    c.steps = 0;
    c.update = update;
    c.seed = 11;
    c.Re = reynolds;
    c.K0 = 4.0;
    c.CFL = cfl;
    c.dt = dt;
    c.startSpectrum = startSpectrum;
    return c;
}

bool identical(const std::vector<Complex>& a, const std::vector<Complex>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Complex)) == 0;
}

bool allZero(const std::vector<Complex>& values) {
    return std::all_of(values.begin(), values.end(), [](Complex c) { return c.re == 0.0f && c.im == 0.0f; });
}

// A spectrum of N rows by `columns` values in device memory.
class DeviceSpectrum {
public:
    explicit DeviceSpectrum(const std::vector<Complex>& values) : buffer(values.size() * sizeof(Complex)) {
        test::writeBuffer(buffer, values);
    }
    Complex* data() const { return buffer.as<Complex>(); }
    std::vector<Complex> read() const {
        std::vector<Complex> values(buffer.bytes / sizeof(Complex));
        EXPECT_EQ(cudaMemcpy(values.data(), buffer.ptr, buffer.bytes, cudaMemcpyDeviceToHost), cudaSuccess);
        return values;
    }

private:
    mirel::DeviceBuffer buffer;
};

struct Mode {
    int kx, ky;
    Complex value;
};

// A native-layout spectrum (N/2 + 1 columns) holding the given modes.
std::vector<Complex> nativeSpectrum(int n, const std::vector<Mode>& modes) {
    std::vector<Complex> values(static_cast<std::size_t>(n) * (n / 2 + 1), Complex{0.0f, 0.0f});
    for (const Mode& m : modes) values[modeIndex(n, m.kx, m.ky)] = m.value;
    return values;
}

// A legacy spectrum (N/2 columns) in the native layout, column N/2 zero.
std::vector<Complex> nativeLayout(const std::vector<Complex>& legacy, int n) {
    const int h = n / 2;
    std::vector<Complex> values(static_cast<std::size_t>(n) * (h + 1), Complex{0.0f, 0.0f});
    for (int r = 0; r < n; ++r)
        for (int kx = 0; kx < h; ++kx)
            values[static_cast<std::size_t>(r) * (h + 1) + kx] = legacy[static_cast<std::size_t>(r) * h + kx];
    return values;
}

void load(Solver& solver, int n, const std::vector<Mode>& modes) {
    const DeviceSpectrum source(nativeSpectrum(n, modes));
    solver.loadSpectrum(source.data(), n / 2 + 1, 1.0f);
}

// Legacy position of mode (kx < N/2, ky).
std::size_t legacyIndex(int n, int kx, int ky) { return static_cast<std::size_t>(ky < 0 ? ky + n : ky) * (n / 2) + kx; }

// A field whose modes of different |k| interact, with a Hermitian column 0.
std::vector<Mode> interactingModes() {
    return {{1, 0, {0.8f, 0.3f}}, {1, 2, {-0.5f, 0.6f}}, {0, 1, {0.4f, -0.2f}}, {0, -1, {0.4f, 0.2f}}};
}

// The velocity of a legacy half spectrum (u plane, then v plane) summed on the host at the points
// of the padded M x M grid: column 0 holds both signs of ky, the other columns stand for their
// mirror images too, and the column-0 mode of row N/2 is the real part of its ky = -N/2 wave.
std::vector<double> hostVelocity(const std::vector<Complex>& planes, int n) {
    const int h = n / 2, m = 3 * n / 2;
    std::vector<double> field(2 * static_cast<std::size_t>(m) * m, 0.0);
    for (int plane = 0; plane < 2; ++plane)
        for (int r = 0; r < n; ++r)
            for (int kx = 0; kx < h; ++kx) {
                const Complex c =
                    planes[static_cast<std::size_t>(plane) * n * h + static_cast<std::size_t>(r) * h + kx];
                if (c.re == 0.0f && c.im == 0.0f) continue;
                const int ky = mirel::legacy::wave(r, n);
                const double weight = kx == 0 ? 1.0 : 2.0;
                for (int j = 0; j < m; ++j)
                    for (int i = 0; i < m; ++i) {
                        const double phase = 2.0 * pi * (kx * i + ky * j) / m;
                        field[static_cast<std::size_t>(plane) * m * m + static_cast<std::size_t>(j) * m + i] +=
                            weight * (c.re * std::cos(phase) - c.im * std::sin(phase));
                    }
            }
    return field;
}

double largest(const std::vector<double>& values) {
    double result = 0.0;
    for (double v : values) result = std::max(result, std::fabs(v));
    return result;
}

// max over the padded grid of (|u| + |v|) / (2 pi / N).
double velocityMaximum(const std::vector<float>& velocity, int n) {
    const std::size_t points = velocity.size() / 2;
    double result = 0.0;
    for (std::size_t i = 0; i < points; ++i)
        result =
            std::max(result, (std::fabs(double(velocity[i])) + std::fabs(double(velocity[points + i]))) * n / (2 * pi));
    return result;
}

// 2 pi <1/k> / sqrt(S1) with S1 the weighted energy of the legacy spectrum; the last stored
// column counts once, like column 0.
double largeEddyTime(const std::vector<Complex>& omega, int n) {
    const int h = n / 2;
    double s1 = 0.0, s2 = 0.0;
    for (int r = 0; r < n; ++r)
        for (int kx = 0; kx < h; ++kx) {
            const int ky = mirel::legacy::wave(r, n);
            const double k2 = kx * kx + ky * ky;
            if (k2 == 0.0) continue;
            const Complex w = omega[static_cast<std::size_t>(r) * h + kx];
            const double e = (kx == 0 || kx == h - 1 ? 1.0 : 2.0) * (double(w.re) * w.re + double(w.im) * w.im) / k2;
            s1 += e;
            s2 += e / std::sqrt(k2);
        }
    return 2 * pi * s2 / s1 / std::sqrt(s1);
}

// The weights of one step, in units of its step size: omega' (1 + c) - (1 - c) omega equals
// now * dt * N' + previous * dt * N, with N' the nonlinear term of this step (the history after
// it) and N that of the step before; found by least squares over every stored mode.
struct Weights {
    double now, previous, residual;
};

Weights observeStep(Solver& solver, int n, float viscosity, std::optional<double> until = std::nullopt) {
    const int h = n / 2;
    const std::vector<Complex> before = solver.spectrum(), historyBefore = solver.history();
    solver.advanceSteps(1, until);
    const Row row = solver.initialRow();
    const std::vector<Complex> after = solver.spectrum(), historyAfter = solver.history();
    const float dt = static_cast<float>(row.time - row.startTime);
    const float factor = dt * (viscosity * 0.5f);
    double aa = 0.0, ab = 0.0, bb = 0.0, ra = 0.0, rb = 0.0, rr = 0.0;
    for (int r = 0; r < n; ++r)
        for (int kx = 0; kx < h; ++kx) {
            const int ky = mirel::legacy::wave(r, n);
            const float c = factor * static_cast<float>(kx * kx + ky * ky);
            const std::size_t i = static_cast<std::size_t>(r) * h + kx;
            const double rest[2] = {after[i].re * (1.0 + c) - (1.0 - c) * before[i].re,
                                    after[i].im * (1.0 + c) - (1.0 - c) * before[i].im};
            const double now[2] = {historyAfter[i].re, historyAfter[i].im};
            const double previous[2] = {historyBefore[i].re, historyBefore[i].im};
            for (int part = 0; part < 2; ++part) {
                aa += now[part] * now[part];
                ab += now[part] * previous[part];
                bb += previous[part] * previous[part];
                ra += rest[part] * now[part];
                rb += rest[part] * previous[part];
                rr += rest[part] * rest[part];
            }
        }
    double a = 0.0, b = 0.0;
    if (bb == 0.0) {
        a = ra / aa;
    } else {
        const double determinant = aa * bb - ab * ab;
        a = (ra * bb - rb * ab) / determinant;
        b = (rb * aa - ra * ab) / determinant;
    }
    const double residual = rr - 2 * a * ra - 2 * b * rb + a * a * aa + 2 * a * b * ab + b * b * bb;
    return {a / dt, b / dt, std::sqrt(std::max(residual, 0.0) / rr)};
}

// Adams-Bashforth 2 with step ratio r: dt (1 + r/2) on the new term, -dt r/2 on the old one.
void expectRatio(const Weights& w, double ratio, const char* step) {
    SCOPED_TRACE(step);
    EXPECT_NEAR(w.now, 1.0 + ratio / 2, 1e-4);
    EXPECT_NEAR(w.previous, -ratio / 2, 1e-4);
    EXPECT_LT(w.residual, 2e-5);
}

class CNAB2 : public test::DeviceTest {};

TEST_F(CNAB2, ConstructionStartsFromTheGeneratedVelocity) {
    struct Case {
        int n;
        std::uint32_t startSpectrum;
        float dt;
    };
    const Case cases[] = {{16, 0, 0.0f}, {16, 1, 0.0f}, {32, 1, 0.01f}, {32, 0, 0.0f}};
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::Message() << "N=" << test.n << " start " << test.startSpectrum << " dt " << test.dt);
        const int n = test.n, m = 3 * n / 2, mc = 3 * n / 4 + 1;
        const Solver solver(legacyConfig(n, 1000.0, test.dt, 0.5, 100, test.startSpectrum));

        const std::vector<float> velocity = solver.velocity();
        ASSERT_EQ(velocity.size(), 2 * static_cast<std::size_t>(m) * m);
        const std::vector<double> expected = hostVelocity(solver.initial().velocity, n);
        const double scale = largest(expected);
        for (std::size_t i = 0; i < velocity.size(); ++i) ASSERT_NEAR(velocity[i], expected[i], 2e-6 * scale) << i;

        const std::vector<Complex> spectrum = solver.spectrum();
        EXPECT_EQ(spectrum.size(), static_cast<std::size_t>(n) * n / 2);
        EXPECT_TRUE(identical(spectrum, solver.initial().omega));
        const std::vector<Complex> history = solver.history();
        EXPECT_EQ(history.size(), static_cast<std::size_t>(n) * n / 2);
        EXPECT_TRUE(allZero(history));

        const Row row = solver.initialRow();
        EXPECT_EQ(row.step, 0);
        EXPECT_EQ(row.time, 0.0);
        EXPECT_EQ(row.startTime, 0.0);
        EXPECT_EQ(row.ratio, 1.0);
        const double vmax = velocityMaximum(velocity, n);
        EXPECT_NEAR(row.cflMaximum, vmax, 1e-6 * vmax);
        if (test.dt > 0.0f)
            EXPECT_EQ(row.dt, double(test.dt));
        else
            EXPECT_NEAR(row.dt, 0.5 / (pi * vmax), 1e-6 * row.dt);
        const double tau = largeEddyTime(spectrum, n);
        EXPECT_NEAR(row.tauL, tau, 1e-5 * tau);

        const std::size_t own =
            static_cast<std::size_t>(n) * n / 2 * 8 * 2 + std::size_t(m) * mc * 24 + std::size_t(m) * m * 8 + 256;
        EXPECT_EQ(solver.allocatedBytes() - solver.fftBytes(), own);
    }
}

TEST_F(CNAB2, ConstructionRefusals) {
    mirel::legacy::Config badSeed = legacyConfig(16, 1000.0, 0.0f);
    badSeed.seed = 0;
    test::expectError<std::invalid_argument>([&] { Solver solver(badSeed); }, invalidConfiguration);
    // pi K0^2 overflows in single precision: an all-zero start field has no large-eddy time.
    mirel::legacy::Config zero = legacyConfig(16, 1000.0, 0.0f);
    zero.K0 = 1e20;
    test::expectError<std::runtime_error>([&] { Solver solver(zero); }, "CNAB2 nonfinite TAU_L.");
}

TEST_F(CNAB2, VelocityOfALoadedVorticityMatchesTheGeneratedVelocity) {
    // omega = i (ky u - kx v) with kx u + ky v = 0 inverts to the velocity the field was made
    // from, the column-0 mode of ky = -N/2 of the rebuilt field included.
    for (const std::uint32_t start : {0u, 1u}) {
        SCOPED_TRACE(testing::Message() << "start spectrum " << start);
        const int n = 16;
        Solver solver(legacyConfig(n, 1000.0, 0.0f, 0.5, 100, start));
        const std::vector<float> generated = solver.velocity();
        const DeviceSpectrum source(nativeLayout(solver.spectrum(), n));
        solver.loadSpectrum(source.data(), n / 2 + 1, 1.0f);
        const std::vector<float> derived = solver.velocity();
        float scale = 0.0f;
        for (float v : generated) scale = std::max(scale, std::fabs(v));
        for (std::size_t i = 0; i < generated.size(); ++i) ASSERT_NEAR(derived[i], generated[i], 2e-6 * scale) << i;
    }
}

TEST_F(CNAB2, LoneModesDecayByTheCrankNicolsonFactor) {
    // A lone Fourier mode (with its mirror in column 0) has no nonlinear term. For these modes it
    // is also exactly zero in floating point (u = 0 for ky = 0, v = 0 in column 0, and the Nyquist
    // row never forms one), so each step multiplies the mode by (1 - c) / (1 + c) with
    // c = dt nu / 2 k^2, rounded as single precision. A Reynolds number change acts on the next
    // step; a refused one changes nothing.
    struct Case {
        const char* name;
        std::vector<Mode> modes;
        int kx, ky;
    };
    const int n = 16, h = n / 2;
    const Case cases[] = {
        {"(1, 0)", {{1, 0, {0.7f, -0.4f}}}, 1, 0},
        {"(0, 3) with its mirror", {{0, 3, {0.5f, 0.25f}}, {0, -3, {0.5f, -0.25f}}}, 0, 3},
        {"(3, -N/2), the Nyquist row", {{3, -h, {-0.6f, 0.9f}}}, 3, -h},
    };
    const float dt = 0.01f;
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        Solver solver(legacyConfig(n, 50.0, dt));
        load(solver, n, test.modes);
        const std::size_t at = legacyIndex(n, test.kx, test.ky);
        float viscosity = 1.0f / 50.0f;
        Complex expected = solver.spectrum()[at];
        for (int step = 1; step <= 6; ++step) {
            SCOPED_TRACE(testing::Message() << "step " << step);
            if (step == 3) {
                solver.setReynolds(200.0);
                viscosity = 1.0f / 200.0f;
            }
            if (step == 5) {
                EXPECT_THROW(solver.setReynolds(nan), std::invalid_argument);
            }
            const float c = (dt * (viscosity * 0.5f)) * static_cast<float>(test.kx * test.kx + test.ky * test.ky);
            expected = {((1.0f - c) * expected.re) / (c + 1.0f), ((1.0f - c) * expected.im) / (c + 1.0f)};
            solver.advanceSteps(1, std::nullopt);
            const Complex got = solver.spectrum()[at];
            EXPECT_EQ(got.re, expected.re);
            EXPECT_EQ(got.im, expected.im);
        }
    }
}

TEST_F(CNAB2, NyquistRowReceivesNoNonlinearTerm) {
    // (1, -3) and (1, -5) feed (2, -8) = (2, -N/2) on the padded grid; that row is only damped.
    const int n = 16;
    Solver solver(legacyConfig(n, 100.0, 0.05f));
    load(solver, n, {{1, -3, {1.0f, 0.5f}}, {1, -5, {-0.7f, 0.8f}}});
    solver.advanceSteps(4, std::nullopt);
    const std::vector<Complex> omega = solver.spectrum();
    for (int kx = 0; kx < n / 2; ++kx) {
        EXPECT_EQ(omega[legacyIndex(n, kx, -n / 2)].re, 0.0f) << kx;
        EXPECT_EQ(omega[legacyIndex(n, kx, -n / 2)].im, 0.0f) << kx;
    }
    const Complex difference = omega[legacyIndex(n, 0, 2)];
    EXPECT_GT(std::abs(std::complex<float>(difference.re, difference.im)), 1e-3f) << "the modes interact";
}

TEST_F(CNAB2, AdamsBashforthWeightsFollowTheStepRatio) {
    const int n = 16;
    const float viscosity = 1.0f / 100.0f;
    {
        SCOPED_TRACE("fixed step from the generated field");
        Solver solver(legacyConfig(n, 100.0, 0.05f));
        expectRatio(observeStep(solver, n, viscosity), 0.0, "step 1");
        expectRatio(observeStep(solver, n, viscosity), 1.0, "step 2");
        expectRatio(observeStep(solver, n, viscosity), 1.0, "step 3");
        // A round trip through the native layout restarts with a forward-Euler step.
        const DeviceSpectrum exchange(std::vector<Complex>(n * (n / 2 + 1)));
        solver.copySpectrumTo(exchange.data(), n / 2 + 1, -float(n * n));
        solver.loadSpectrum(exchange.data(), n / 2 + 1, -1.0f / float(n * n));
        expectRatio(observeStep(solver, n, viscosity), 0.0, "first step after a load");
        EXPECT_EQ(solver.initialRow().step, 1);
        expectRatio(observeStep(solver, n, viscosity), 1.0, "second step after a load");
    }
    {
        // The factor f of the update at step 1 reaches the weights at step 3.
        SCOPED_TRACE("adaptive step");
        Solver solver(legacyConfig(n, 100.0, 0.0f, 1.0, 1000));
        load(solver, n, interactingModes());
        solver.setCFL(2.0f);
        expectRatio(observeStep(solver, n, viscosity), 0.0, "step 1");
        const double f = solver.initialRow().ratio;
        EXPECT_GT(f, 1.1);
        expectRatio(observeStep(solver, n, viscosity), 1.0, "step 2");
        expectRatio(observeStep(solver, n, viscosity), f, "step 3");
        expectRatio(observeStep(solver, n, viscosity), f, "step 4");
        EXPECT_EQ(solver.initialRow().ratio, f);
    }
    {
        // The step cut at the end time scales its own ratio by dt'/dt; the next step performed
        // uses dt/dt' once.
        SCOPED_TRACE("step cut at the end time");
        const float dt = 0.05f;
        const double until = 0.125;
        Solver solver(legacyConfig(n, 100.0, dt));
        load(solver, n, interactingModes());
        expectRatio(observeStep(solver, n, viscosity, until), 0.0, "step 1");
        expectRatio(observeStep(solver, n, viscosity, until), 1.0, "step 2");
        const float cut = static_cast<float>(until - 2.0 * double(dt));
        const float shrink = static_cast<float>(cut / double(dt));
        expectRatio(observeStep(solver, n, viscosity, until), shrink, "cut step 3");
        const Row row = solver.initialRow();
        EXPECT_EQ(row.time, until);
        EXPECT_EQ(static_cast<float>(row.time - row.startTime), cut);
        expectRatio(observeStep(solver, n, viscosity), static_cast<float>(double(dt) / cut), "step 4");
        expectRatio(observeStep(solver, n, viscosity), 1.0, "step 5");
    }
}

TEST_F(CNAB2, EndTimeIsMetExactly) {
    const int n = 16;
    const double dt = double(0.05f);
    Solver solver(legacyConfig(n, 100.0, 0.05f));
    test::expectError<std::runtime_error>([&] { solver.advanceSteps(1, 1e-300); }, "CNAB2 nonfinite or zero timestep.");
    EXPECT_EQ(solver.initialRow().step, 0);

    struct Case {
        int steps;
        double until;
        int endStep;
        double time;
    };
    const double t = 0.125;
    const Case cases[] = {
        {10, 0.0, 0, 0.0},                              // reached before the first step
        {10, t, 3, t},                                  // two full steps, one cut short
        {10, t, 3, t},                                  // reached: nothing to do
        {10, t * (1.0 + 1e-15), 3, t},                  // within 32 ulps of the end time
        {10, t * (1.0 + 1e-12), 4, t * (1.0 + 1e-12)},  // a tiny step onto it
        {2, 10.0, 6, t * (1.0 + 1e-12) + dt + dt},      // the step count ends the run
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::Message() << test.steps << " steps until " << test.until);
        const Row row = solver.advanceSteps(test.steps, test.until);
        EXPECT_EQ(row.step, test.endStep);
        EXPECT_EQ(row.time, test.time);
        EXPECT_EQ(solver.initialRow().step, row.step);
    }
}

TEST_F(CNAB2, TimeStepUpdatesFallOnTheUpdateSteps) {
    struct Case {
        int update, endStep;
        bool report;
        std::vector<int> updated;
    };
    const Case cases[] = {
        {100, 250, false, {1, 100, 200}},
        {100, 250, true, {1, 100, 200, 250}},
        {7, 21, true, {1, 7, 14, 21}},
        {1, 3, false, {1, 2, 3}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::Message() << "update " << test.update << " to " << test.endStep
                                        << (test.report ? " with report" : ""));
        Solver solver(legacyConfig(16, 1000.0, 0.0f, 0.5, test.update));
        std::vector<int> called;
        const Row last = solver.advanceTo(test.endStep, std::nullopt, test.report, [&](const Row& row) {
            called.push_back(row.step);
            EXPECT_TRUE(std::isfinite(row.tauL) && row.tauL > 0.0);
        });
        EXPECT_EQ(called, test.updated);
        EXPECT_EQ(last.step, test.endStep);
    }

    // Without callback or report the update is seen only in the Row: the adaptive step and the
    // measured maximum change at steps 1, 100 and 200; a fixed step stays with ratio 1.
    for (const float fixed : {0.0f, 0.004f}) {
        SCOPED_TRACE(testing::Message() << "dt " << fixed);
        Solver solver(legacyConfig(16, 1000.0, fixed));
        const Row first = solver.initialRow();
        Row previous = first;
        std::vector<int> measured, stepChanged;
        for (int step = 1; step <= 201; ++step) {
            const Row row = solver.advanceSteps(1, std::nullopt);
            if (row.cflMaximum != previous.cflMaximum) measured.push_back(row.step);
            if (row.dt != previous.dt) stepChanged.push_back(row.step);
            if (fixed > 0.0f) {
                EXPECT_EQ(row.dt, double(fixed));
                EXPECT_EQ(row.ratio, 1.0);
            }
            EXPECT_EQ(row.tauL, first.tauL) << "recomputed at step " << step;
            previous = row;
        }
        EXPECT_EQ(measured, (std::vector<int>{1, 100, 200}));
        EXPECT_EQ(stepChanged, (fixed > 0.0f ? std::vector<int>{} : std::vector<int>{1, 100, 200}));
    }
}

TEST_F(CNAB2, CFLChangeWaitsForTheNextUpdate) {
    const int n = 16;
    Solver solver(legacyConfig(n, 1000.0, 0.0f, 0.5, 10));
    solver.advanceSteps(3, std::nullopt);
    const Row before = solver.initialRow();
    solver.setCFL(2.0f);
    for (const float refused :
         {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()})
        test::expectError<std::invalid_argument>([&] { solver.setCFL(refused); }, "CNAB2 CFL must be finite and positive.");
    const Row waiting = solver.advanceSteps(6, std::nullopt);
    EXPECT_EQ(waiting.dt, before.dt);
    EXPECT_EQ(waiting.ratio, before.ratio);
    const Row updated = solver.advanceSteps(1, std::nullopt);
    // One fifth of the way from the old step towards the CFL target 2 / (pi vmax).
    const double target = 2.0 / (pi * updated.cflMaximum);
    EXPECT_NEAR(updated.dt, 0.8 * waiting.dt + 0.2 * target, 1e-6 * updated.dt);
    EXPECT_NEAR(updated.ratio, updated.dt / waiting.dt, 1e-6);
    EXPECT_GT(updated.ratio, 1.5);
}

TEST_F(CNAB2, ArgumentRefusals) {
    Solver solver(legacyConfig(16, 1000.0, 0.01f));
    solver.advanceSteps(1, std::nullopt);
    const Row current = solver.initialRow();
    const Row none = solver.advanceSteps(0, std::nullopt);
    EXPECT_EQ(none.step, current.step);
    EXPECT_EQ(none.time, current.time);

    struct Steps {
        int steps;
        std::optional<double> until;
    };
    const Steps steps[] = {{-1, std::nullopt}, {1, -1.0}, {1, nan}, {1, infinity}, {2147483647, std::nullopt}};
    for (const Steps& test : steps) {
        SCOPED_TRACE(testing::Message() << test.steps << " steps until " << test.until.value_or(-0.0));
        test::expectError<std::invalid_argument>([&] { solver.advanceSteps(test.steps, test.until); }, invalidSteps);
    }
    for (const double reynolds : {0.0, -1.0, nan, infinity, 1e39}) {
        SCOPED_TRACE(testing::Message() << "Re " << reynolds);
        test::expectError<std::invalid_argument>([&] { solver.setReynolds(reynolds); },
                                                 "CNAB2 Re must be finite and positive.");
    }
    EXPECT_EQ(solver.initialRow().step, current.step);
}

TEST_F(CNAB2, BlownUpFieldFailsAtTheNextUpdate) {
    const int n = 16;
    Solver solver(legacyConfig(n, 1000.0, 0.01f));
    load(solver, n, {{1, 0, {1e18f, 0.0f}}, {2, 1, {0.0f, 1e18f}}});
    test::expectError<std::runtime_error>([&] { solver.advanceSteps(5, std::nullopt); }, "CNAB2 nonfinite CFL maximum.");
    EXPECT_EQ(solver.initialRow().step, 1);
    test::expectError<std::runtime_error>(
        [&] {
            load(solver, n, {{1, 0, {float(nan), 0.0f}}});
        },
        "CNAB2 nonfinite CFL maximum.");
    test::expectError<std::runtime_error>(
        [&] {
            load(solver, n, {{2, 3, {float(infinity), 1.0f}}});
        },
        "CNAB2 nonfinite CFL maximum.");
}

TEST_F(CNAB2, CopySpectrumToWritesScaledValuesAndZeroColumns) {
    struct Case {
        int columns;
        float scale;
    };
    const int n = 16, h = n / 2;
    const Case cases[] = {{h + 1, -float(n * n)}, {h + 1, 0.5f}, {h + 3, 1.0f}, {h - 3, 2.0f}};
    Solver solver(legacyConfig(n, 1000.0, 0.01f));
    solver.advanceSteps(2, std::nullopt);
    const std::vector<Complex> omega = solver.spectrum();
    const Complex marker{7.0f, -7.0f};
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::Message() << test.columns << " columns, scale " << test.scale);
        const std::size_t written = static_cast<std::size_t>(n) * test.columns;
        const DeviceSpectrum destination(std::vector<Complex>(written + 32, marker));
        solver.copySpectrumTo(destination.data(), test.columns, test.scale);
        const std::vector<Complex> values = destination.read();
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < test.columns; ++x) {
                const Complex got = values[static_cast<std::size_t>(y) * test.columns + x];
                const Complex want = x < h ? Complex{test.scale * omega[y * h + x].re, test.scale * omega[y * h + x].im}
                                           : Complex{0.0f, 0.0f};
                EXPECT_EQ(got.re, want.re) << y << ", " << x;
                EXPECT_EQ(got.im, want.im) << y << ", " << x;
            }
        for (std::size_t i = written; i < values.size(); ++i) EXPECT_EQ(values[i].re, marker.re) << "beyond, " << i;
    }
    EXPECT_TRUE(identical(solver.spectrum(), omega));
}

TEST_F(CNAB2, LoadSpectrumReadsOnlyTheStoredColumns) {
    const int n = 16, h = n / 2;
    Solver solver(legacyConfig(n, 1000.0, 0.01f));
    const std::vector<Complex> own = solver.spectrum();
    std::vector<Complex> source(static_cast<std::size_t>(n) * (h + 1));
    for (int y = 0; y < n; ++y)
        for (int x = 0; x <= h; ++x)
            source[y * (h + 1) + x] =
                x == h ? Complex{float(nan), float(nan)} : Complex{0.01f * x - 0.02f * y, 0.03f * y};
    struct Case {
        int columns;
        float scale;
    };
    for (const Case& test : {Case{h + 1, 0.25f}, Case{h - 3, -2.0f}}) {
        SCOPED_TRACE(testing::Message() << test.columns << " columns");
        Solver target(legacyConfig(n, 1000.0, 0.01f));
        std::vector<Complex> laid(static_cast<std::size_t>(n) * test.columns);
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < test.columns; ++x) laid[y * test.columns + x] = source[y * (h + 1) + std::min(x, h)];
        const DeviceSpectrum device(laid);
        target.loadSpectrum(device.data(), test.columns, test.scale);
        const std::vector<Complex> omega = target.spectrum();
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < h; ++x) {
                const Complex want = x < test.columns ? Complex{test.scale * source[y * (h + 1) + x].re,
                                                                test.scale * source[y * (h + 1) + x].im}
                                                      : own[y * h + x];
                EXPECT_EQ(omega[y * h + x].re, want.re) << y << ", " << x;
                EXPECT_EQ(omega[y * h + x].im, want.im) << y << ", " << x;
            }
    }
}

TEST_F(CNAB2, RoundTripThroughTheNativeLayoutRestartsTheRun) {
    const int n = 32;
    Solver solver(legacyConfig(n, 1000.0, 0.0f, 0.5, 100, 1));
    solver.advanceSteps(3, 1.0);
    const std::vector<Complex> omega = solver.spectrum();
    const std::vector<float> velocity = solver.velocity();
    ASSERT_FALSE(allZero(solver.history()));
    const DeviceSpectrum exchange(std::vector<Complex>(n * (n / 2 + 1)));
    solver.copySpectrumTo(exchange.data(), n / 2 + 1, -float(n * n));
    solver.loadSpectrum(exchange.data(), n / 2 + 1, -1.0f / float(n * n));

    EXPECT_TRUE(identical(solver.spectrum(), omega));
    EXPECT_TRUE(allZero(solver.history()));
    EXPECT_EQ(std::memcmp(solver.velocity().data(), velocity.data(), velocity.size() * sizeof(float)), 0);
    const Row row = solver.initialRow();
    EXPECT_EQ(row.step, 0);
    EXPECT_EQ(row.time, 0.0);
    EXPECT_EQ(row.startTime, 0.0);
    EXPECT_EQ(row.ratio, 1.0);
    EXPECT_EQ(row.tauL, 0.0);
    const double vmax = velocityMaximum(velocity, n);
    EXPECT_NEAR(row.cflMaximum, vmax, 1e-6 * vmax);
    EXPECT_NEAR(row.dt, 0.5 / (pi * vmax), 1e-6 * row.dt);
}

TEST_F(CNAB2, FirstStepAfterALoadFollowsTheVelocityMaximum) {
    // A real (1, 0) mode c gives v = -2 c sin x, whose peak 2c/(2 pi / N) lies on the padded grid.
    struct Case {
        const char* name;
        std::vector<Mode> modes;
        float fixedDt;
        double vmax;
    };
    const int n = 16;
    const double cfl = 0.5;
    const Case cases[] = {
        {"zero field", {}, 0.0f, 0.0},
        {"zero field, fixed step", {}, 0.02f, 0.0},
        {"single mode", {{1, 0, {0.75f, 0.0f}}}, 0.0f, 2 * 0.75 * n / (2 * pi)},
        {"single mode, fixed step", {{1, 0, {0.75f, 0.0f}}}, 0.02f, 2 * 0.75 * n / (2 * pi)},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        Solver solver(legacyConfig(n, 1000.0, test.fixedDt, cfl));
        load(solver, n, test.modes);
        const Row row = solver.initialRow();
        EXPECT_NEAR(row.cflMaximum, test.vmax, 1e-6 * test.vmax);
        EXPECT_EQ(row.tauL, 0.0);
        const double dt = test.fixedDt > 0.0f ? test.fixedDt : test.vmax > 0.0 ? cfl / (pi * test.vmax)
                                                                               : cfl / pi;
        EXPECT_NEAR(row.dt, dt, 1e-6 * dt);
        if (test.modes.empty()) {
            // Stepping needs no large-eddy time; reporting does.
            EXPECT_EQ(solver.advanceSteps(2, std::nullopt).dt, row.dt);
            test::expectError<std::runtime_error>([&] { solver.advanceTo(3, std::nullopt, true, {}); },
                                                  "CNAB2 nonfinite TAU_L.");
        }
    }
}

}  // namespace
