// Time stepping of the native integrators, checked against exact solutions of the vorticity
// equation, its inviscid invariants and the integrators' orders; the device clock and the
// arguments and failure rules of advance.
#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "solver/native/clock_math.hpp"
#include "support/flow_fixture.hpp"
#include "support/messages.hpp"

namespace {

using mirel::Complex;
using test::failedMessage;
using test::flowConfig;
using test::modeField;
using test::modeIndex;
using test::readClock;
using test::readOmega;
using test::relativeDistance;

constexpr double inviscid = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr const char* nonFiniteMessage = "The solver encountered a non-finite field or timestep.";

struct Method {
    std::uint32_t index;
    const char* name;
};
constexpr Method methods[] = {{0, "imexRK3"}, {1, "ifHeunRK3"}, {2, "etdrk4"}};

void PrintTo(const Method& method, std::ostream* out) { *out << method.name; }

// The change of a spectrum during a run: after - before.
std::vector<Complex> change(const std::vector<Complex>& after, const std::vector<Complex>& before) {
    std::vector<Complex> result(after.size());
    for (std::size_t i = 0; i < after.size(); ++i)
        result[i] = {after[i].re - before[i].re, after[i].im - before[i].im};
    return result;
}

class NativeStepPhysics : public test::DeviceTest {};

// A single Fourier mode, and any sum of modes of one |k| such as the Taylor-Green cell, has
// u.grad(omega) = 0: without viscosity it is a steady solution.
TEST_F(NativeStepPhysics, ModesOfOneWavenumberAreSteadyWithoutViscosity) {
    constexpr int n = 16;
    struct Field {
        const char* name;
        std::vector<float> samples;
    };
    // 2 sin x sin y = cos(x - y) - cos(x + y).
    const Field fields[] = {
        {"cos(3x - 2y)", modeField(n, 3, -2, 1.0)},
        {"Taylor-Green", test::waveField(n, {{1, -1, 1.0}, {1, 1, -1.0}})},
    };
    for (const Field& field : fields)
        for (const Method& method : methods)
            for (std::uint32_t form : {0u, 1u}) {
                SCOPED_TRACE(testing::Message() << field.name << ", " << method.name << ", form " << form);
                mirel::Config config = flowConfig(n, method.index, inviscid, 0.1f);
                config.form = form;
                mirel::Solver solver(config, field.samples);
                const std::vector<Complex> start = readOmega(solver);
                EXPECT_EQ(solver.advance(10).steps, 10u);
                EXPECT_LT(relativeDistance(readOmega(solver), start), 3e-6);
            }
}

// Two modes of different |k| interact: with theta_j = k_j.x and omega = a1 cos theta1 +
// a2 cos theta2, -u.grad(omega) = (C/2) (cos(theta1 + theta2) - cos(theta1 - theta2)) with
// C = a1 a2 (k2 x k1) (1/|k1|^2 - 1/|k2|^2), computed here by hand for k1 = (1, 2), k2 = (3, -1),
// a1 = 1, a2 = 1/2: C = 0.35. The modes k1 +- k2 start at zero and, as the modes k1 and k2 do not
// change at first, grow as (C/2) t up to terms in t^3.
TEST_F(NativeStepPhysics, TwoModesFeedTheirSumAndDifference) {
    constexpr int n = 16;
    constexpr float dt = 1e-3f;
    const double rate = 0.35 / 2.0;
    const std::vector<float> field = test::waveField(n, {{1, 2, 1.0}, {3, -1, 0.5}});
    for (const Method& method : methods)
        for (std::uint32_t form : {0u, 1u}) {
            SCOPED_TRACE(testing::Message() << method.name << ", form " << form);
            mirel::Config config = flowConfig(n, method.index, inviscid, dt);
            config.form = form;
            mirel::Solver solver(config, field);
            solver.advance(1);
            const std::vector<Complex> omega = readOmega(solver);
            // cos(theta) with wavenumber (kx > 0, ky) is N^2/2 at (kx, ky) of the half spectrum.
            const double expected = n * n / 2.0 * rate * dt;
            const Complex sum = omega[modeIndex(n, 4, 1)];
            const Complex difference = omega[modeIndex(n, 2, -3)];  // cos(theta1 - theta2) = cos(2x - 3y)
            EXPECT_NEAR(sum.re, expected, 1e-4 * expected);
            EXPECT_NEAR(difference.re, -expected, 1e-4 * expected);
            EXPECT_NEAR(sum.im, 0.0, 1e-4 * expected);
            EXPECT_NEAR(difference.im, 0.0, 1e-4 * expected);
        }
}

// With the nonlinear term zero, a mode decays as exp(-nu k^2 t). etdrk4 and ifHeunRK3
// integrate the linear part exactly; imexRK3 multiplies by (1 - c)/(1 + c) per stage with
// c = nu alpha dt k^2, the trapezoidal rule.
TEST_F(NativeStepPhysics, SingleModeDecaysByTheViscousRate) {
    constexpr int n = 16;
    constexpr double reynolds = 10.0, dt = 0.25;
    constexpr int steps = 4;
    const double alphas[] = {4.0 / 15.0, 1.0 / 15.0, 1.0 / 6.0};
    struct Mode {
        int kx, ky;
    };
    // nu dt k^2 = 0.125, 0.85 and 2.45: both branches of the phi functions.
    const Mode modes[] = {{2, 1}, {5, -3}, {7, 7}};
    for (const Mode& mode : modes)
        for (const Method& method : methods) {
            SCOPED_TRACE(testing::Message() << "k = (" << mode.kx << ", " << mode.ky << "), " << method.name);
            const double k2 = mode.kx * mode.kx + mode.ky * mode.ky;
            const double nu = 1.0 / reynolds;
            mirel::Solver solver(flowConfig(n, method.index, reynolds, float(dt)), modeField(n, mode.kx, mode.ky, 1.0));
            const std::size_t i = modeIndex(n, mode.kx, mode.ky);
            const double start = readOmega(solver)[i].re;
            EXPECT_NEAR(start, n * n / 2.0, 1e-4);
            const mirel::Statistics stats = solver.advance(steps);
            ASSERT_EQ(stats.simulationTime, steps * dt);
            const Complex end = readOmega(solver)[i];
            double expected = std::exp(-nu * k2 * stats.simulationTime);
            if (method.index == 0) {
                double perStep = 1.0;
                for (double alpha : alphas) {
                    const double c = nu * alpha * dt * k2;
                    perStep *= (1.0 - c) / (1.0 + c);
                }
                expected = std::pow(perStep, steps);
            }
            EXPECT_NEAR(end.re / start, expected, 1e-5 * expected);
            EXPECT_NEAR(end.im / start, 0.0, 1e-6);
        }
}

// Re = infinity gives viscosity 0; setReynolds changes the viscosity from the next step on.
TEST_F(NativeStepPhysics, SetReynoldsTakesEffectWithTheNextStep) {
    constexpr int n = 16;
    for (const Method& method : methods) {
        SCOPED_TRACE(method.name);
        mirel::Solver solver(flowConfig(n, method.index, inviscid, 0.125f), modeField(n, 3, 1, 1.0));
        const std::size_t i = modeIndex(n, 3, 1);
        const double start = readOmega(solver)[i].re;
        solver.advance(2);
        EXPECT_NEAR(readOmega(solver)[i].re / start, 1.0, 1e-6);
        solver.setReynolds(20.0);
        const double before = solver.advance(0).simulationTime;
        const double after = solver.advance(4).simulationTime;
        const double expected = std::exp(-(1.0 / 20.0) * 10.0 * (after - before));
        EXPECT_NEAR(readOmega(solver)[i].re / start, expected, method.index == 0 ? 5e-5 : 2e-6);
    }
}

// Dealiased by the 3/2 rule, the truncated inviscid equations keep energy and enstrophy; what
// changes is the integrators' truncation error, which a small step makes negligible. N = 34 has
// an odd padded grid, M = 51.
class InviscidInvariants : public test::DeviceTest, public testing::WithParamInterface<std::tuple<Method, int>> {};

TEST_P(InviscidInvariants, EnergyAndEnstrophyStay) {
    const auto [method, n] = GetParam();
    mirel::Config config = flowConfig(n, method.index, inviscid, 0.005f);
    config.k0 = 2;
    mirel::Solver solver(config);
    const mirel::Statistics start = solver.inspect();
    solver.advance(200);
    const mirel::Statistics end = solver.inspect();
    RecordProperty("energyChange", testing::PrintToString(end.energy / start.energy - 1.0));
    RecordProperty("enstrophyChange", testing::PrintToString(end.enstrophy / start.enstrophy - 1.0));
    EXPECT_NEAR(end.energy / start.energy, 1.0, 2e-6);
    EXPECT_NEAR(end.enstrophy / start.enstrophy, 1.0, 2e-6);
}

INSTANTIATE_TEST_SUITE_P(Integrators, InviscidInvariants,
                         testing::Combine(testing::ValuesIn(methods), testing::Values(32, 34)),
                         [](const testing::TestParamInfo<std::tuple<Method, int>>& info) {
                             return std::string(std::get<0>(info.param).name) + "_N" +
                                    std::to_string(std::get<1>(info.param));
                         });

// u^2 - v^2 and uv ("stress") and u.grad(omega) ("advective") are two forms of one term.
TEST_F(NativeStepPhysics, StressAndAdvectiveFormsGiveTheSameStep) {
    for (int n : {32, 18}) {
        for (const Method& method : methods) {
            SCOPED_TRACE(testing::Message() << "N " << n << ", " << method.name);
            std::vector<Complex> increments[2];
            for (std::uint32_t form : {0u, 1u}) {
                mirel::Config config = flowConfig(n, method.index, inviscid, 0.01f);
                config.form = form;
                mirel::Solver solver(config);
                const std::vector<Complex> start = readOmega(solver);
                solver.advance(1);
                increments[form] = change(readOmega(solver), start);
            }
            EXPECT_LT(relativeDistance(increments[1], increments[0]), 1e-5);
        }
    }
}

// Halving a fixed step divides the error at a fixed time by 2^order, in a flow led by the
// nonlinear term (Re = 1000) and in one where viscosity matters on the whole grid (Re = 30).
// imexRK3 is of third order in the nonlinear term but only of second in the viscous one.
class IntegratorConvergence : public test::DeviceTest,
                              public testing::WithParamInterface<std::tuple<Method, double>> {};

TEST_P(IntegratorConvergence, HalvingTheStepReducesTheErrorByTheOrder) {
    const auto [method, reynolds] = GetParam();
    const double minimumOrders[] = {1.8, 2.7, 3.6};
    constexpr double endTime = 0.5;
    mirel::Config config = flowConfig(32, method.index, reynolds);
    config.k0 = 2;
    const auto run = [&](int steps) {
        config.fixedDt = float(endTime / steps);
        mirel::Solver solver(config);
        EXPECT_EQ(solver.advance(10 * steps, endTime).simulationTime, endTime);
        return readOmega(solver);
    };
    const std::vector<Complex> reference = run(128);
    double errors[3];
    for (int level = 0; level < 3; ++level) errors[level] = relativeDistance(run(8 << level), reference);
    for (int level = 0; level < 2; ++level) {
        const double order = std::log2(errors[level] / errors[level + 1]);
        RecordProperty("order" + std::to_string(level), testing::PrintToString(order));
        EXPECT_GE(order, minimumOrders[method.index]) << "errors " << errors[level] << " -> " << errors[level + 1];
    }
}

INSTANTIATE_TEST_SUITE_P(Integrators, IntegratorConvergence,
                         testing::Combine(testing::ValuesIn(methods), testing::Values(1000.0, 30.0)),
                         [](const testing::TestParamInfo<std::tuple<Method, double>>& info) {
                             return std::string(std::get<0>(info.param).name) + "_Re" +
                                    std::to_string(int(std::get<1>(info.param)));
                         });

// The kept modes are kx < N/2, |ky| < N/2 without the mean: the integrator clears the others,
// and their compensation, in every step.
TEST_F(NativeStepPhysics, StepsClearTheMeanAndTheNyquistLines) {
    constexpr int n = 16, h = n / 2;
    for (const Method& method : methods) {
        SCOPED_TRACE(method.name);
        mirel::Solver solver(flowConfig(n, method.index, 100.0, 0.01f));
        mirel::Solver::Impl& impl = mirel::SolverInternals::of(solver);
        std::vector<Complex> omega = readOmega(solver);
        std::vector<Complex> correction(omega.size(), Complex{0.0f, 0.0f});
        std::vector<std::size_t> cleared = {modeIndex(n, 0, 0)};
        for (int k = 0; k <= h; ++k) cleared.push_back(modeIndex(n, k, h));
        for (int ky = -h + 1; ky < h; ++ky) cleared.push_back(modeIndex(n, h, ky));
        for (std::size_t i : cleared) omega[i] = correction[i] = Complex{1e4f, -2e4f};
        omega[modeIndex(n, h, 3)] = Complex{std::numeric_limits<float>::quiet_NaN(), 0.0f};
        test::writeOmega(solver, omega);
        test::writeBuffer(impl.correction, correction);
        EXPECT_EQ(solver.advance(1).steps, 1u);
        omega = readOmega(solver);
        correction.assign(correction.size(), Complex{1.0f, 1.0f});
        ASSERT_EQ(cudaMemcpy(correction.data(), impl.correction.ptr, impl.correction.bytes, cudaMemcpyDeviceToHost),
                  cudaSuccess);
        for (std::size_t i : cleared) {
            EXPECT_EQ(omega[i].re, 0.0f) << i;
            EXPECT_EQ(omega[i].im, 0.0f) << i;
            EXPECT_EQ(correction[i].re, 0.0f) << i;
            EXPECT_EQ(correction[i].im, 0.0f) << i;
        }
    }
}

class NativeStepClock : public test::DeviceTest {};

// Four batches of steps; the GPU time is positive and fits within the call. How much of the call
// it fills depends on the load of the machine and on other processes sharing the GPU.
TEST_F(NativeStepClock, FixedStepsAddUpAsAFloatPair) {
    mirel::Solver solver(flowConfig(16, 0, 1000.0, 0.001f));
    const auto begin = std::chrono::steady_clock::now();
    const mirel::Statistics stats = solver.advance(1000);
    const double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_GT(stats.gpuMilliseconds, 0.0);
    EXPECT_LE(stats.gpuMilliseconds, wall);
    float hi = 0.0f, lo = 0.0f;
    for (int i = 0; i < 1000; ++i) mirel::clock::absorb(hi, lo, 0.001f);
    EXPECT_EQ(stats.steps, 1000u);
    EXPECT_EQ(stats.simulationTime, double(hi) + double(lo));
    EXPECT_EQ(stats.dt, 0.001f);
}

// advance(1000, 0.3) with steps of 0.001: 299 whole steps, then one shortened to land on 0.3.
TEST_F(NativeStepClock, EndTimeIsMetExactly) {
    constexpr double endTime = 0.3;
    mirel::Solver solver(flowConfig(16, 0, 1000.0, 0.001f));
    const mirel::Statistics stats = solver.advance(1000, endTime);
    const float targetHi = float(endTime);
    const float targetLo = float(endTime - double(targetHi));
    float hi = 0.0f, lo = 0.0f;
    for (int i = 0; i < 299; ++i) mirel::clock::absorb(hi, lo, 0.001f);
    const float last = (targetHi - hi) + (targetLo - lo);
    ASSERT_LT(last, 0.001f);
    EXPECT_EQ(stats.steps, 300u);
    EXPECT_EQ(stats.simulationTime, double(targetHi) + double(targetLo));
    EXPECT_NEAR(stats.simulationTime, endTime, 1e-15);
    EXPECT_EQ(stats.dt, last);
}

// Nothing to do: no GPU work, so the GPU time of the last advance stays.
TEST_F(NativeStepClock, ReachedEndTimeAndZeroStepsDoNothing) {
    mirel::Solver solver(flowConfig(16, 2, 1000.0, 0.01f));
    const mirel::Statistics fresh = solver.advance(5, 0.0);
    EXPECT_EQ(fresh.steps, 0u);
    EXPECT_EQ(fresh.simulationTime, 0.0);
    const mirel::Statistics ran = solver.advance(10, 0.05);
    ASSERT_GE(ran.steps, 5u);
    const std::vector<Complex> omega = readOmega(solver);
    const std::optional<double> ends[] = {std::nullopt, 0.05, 0.01};
    for (const std::optional<double>& until : ends)
        for (int steps : {0, 3}) {
            if (steps > 0 && !until) continue;
            const mirel::Statistics again = solver.advance(steps, until);
            EXPECT_EQ(again.steps, ran.steps);
            EXPECT_EQ(again.simulationTime, ran.simulationTime);
            EXPECT_EQ(again.gpuMilliseconds, ran.gpuMilliseconds);
        }
    EXPECT_TRUE(test::sameBits(readOmega(solver), omega));
}

// Without motion the step is the last one, and 1 before the first.
TEST_F(NativeStepClock, StillFieldStepsByOne) {
    constexpr int n = 16;
    for (const Method& method : methods) {
        SCOPED_TRACE(method.name);
        mirel::Solver solver(flowConfig(n, method.index, 1000.0), std::vector<float>(n * n, 0.0f));
        const mirel::Statistics start = solver.statistics();
        EXPECT_EQ(start.dt, 1.0f);
        EXPECT_EQ(start.energy, 0.0);
        EXPECT_EQ(start.enstrophy, 0.0);
        EXPECT_EQ(start.palinstrophyRatio, 0.0);
        EXPECT_EQ(start.initialTurnoverTime, 0.0);
        const mirel::Statistics stats = solver.advance(3);
        EXPECT_EQ(stats.dt, 1.0f);
        EXPECT_EQ(stats.simulationTime, 3.0);
    }
}

// The adaptive step is 2 CFL / (N max(|u| + |v|)); it shrinks at once and grows by a fifth of the
// difference per step. cos(x) has |u| + |v| = |sin x|, whose maximum 1 the padded grid hits.
TEST_F(NativeStepClock, AdaptiveStepFollowsTheSpeedWithLimitedGrowth) {
    constexpr int n = 16;
    mirel::Config config = flowConfig(n, 2, inviscid);
    config.cfl = 0.5f;
    mirel::Solver solver(config, modeField(n, 1, 0, 1.0));
    float memory = 0.0f;
    const auto expectStep = [&](float cfl) {
        const mirel::ClockState clock = readClock(solver);
        EXPECT_NEAR(clock.maxSpeed, 1.0f, 1e-6f);
        float dt = (cfl + cfl) / (clock.maxSpeed * float(n));
        if (memory > 0.0f) dt = std::min(dt, 0.2f * dt + 0.8f * memory);
        EXPECT_EQ(clock.dt, dt);
        EXPECT_EQ(clock.dtMemory, dt);
        EXPECT_EQ(solver.statistics().dt, dt);
        memory = dt;
    };
    expectStep(0.5f);
    EXPECT_NEAR(memory, 1.0 / 16.0, 1e-7);
    float hi = 0.0f, lo = 0.0f;
    struct Change {
        float cfl;
        double step;  // about
    };
    const Change changes[] = {{0.5f, 0.0625}, {2.0f, 0.1}, {2.0f, 0.13}, {2.0f, 0.154}, {0.25f, 0.03125}, {0.25f, 0.03125}};
    for (const Change& change : changes) {
        SCOPED_TRACE(testing::Message() << "CFL " << change.cfl);
        solver.setCFL(change.cfl);
        const mirel::Statistics stats = solver.advance(1);
        expectStep(change.cfl);
        EXPECT_NEAR(memory, change.step, 1e-6);
        mirel::clock::absorb(hi, lo, memory);
        EXPECT_EQ(stats.simulationTime, double(hi) + double(lo));
    }
}

// Velocity on the padded M x M grid from the half spectrum, by separable sums:
// u = Re sum c(kx) u(kx, ky) e^(i (kx x + ky y)), c = 1 in column 0 and 2 elsewhere.
double maximumSpeed(const std::vector<Complex>& omega, int n, int m) {
    const int h = n / 2;
    using C = std::complex<double>;
    std::vector<C> rowsU(std::size_t(n) * m), rowsV(std::size_t(n) * m);
    for (int r = 0; r < n; ++r) {
        const int ky = r > h ? r - n : r;
        for (int kx = 0; kx <= h; ++kx) {
            const Complex w = omega[std::size_t(r) * (h + 1) + kx];
            const int k2 = kx * kx + ky * ky;
            if (k2 == 0) continue;
            const C iw = C(0.0, 1.0) * C(w.re, w.im) / (double(k2) * n * n) * (kx == 0 ? 1.0 : 2.0);
            for (int i = 0; i < m; ++i) {
                const C phase = std::polar(1.0, test::twoPi * kx * i / m);
                rowsU[std::size_t(r) * m + i] += double(ky) * iw * phase;
                rowsV[std::size_t(r) * m + i] -= double(kx) * iw * phase;
            }
        }
    }
    double maximum = 0.0;
    for (int j = 0; j < m; ++j)
        for (int i = 0; i < m; ++i) {
            C u = 0.0, v = 0.0;
            for (int r = 0; r < n; ++r) {
                const C phase = std::polar(1.0, test::twoPi * (r > h ? r - n : r) * j / m);
                u += rowsU[std::size_t(r) * m + i] * phase;
                v += rowsV[std::size_t(r) * m + i] * phase;
            }
            maximum = std::max(maximum, std::fabs(u.real()) + std::fabs(v.real()));
        }
    return maximum;
}

// With N = 96 the padded grid has M^2 = 20736 points, more than the 64 x 256 threads of the speed
// reduction: a thread visits point p and, for p < 4352, also p + 16384 (rows from 113 on). A
// vortex at y = 0.1 * 2 pi puts the fastest points among the first of two visits, one at
// y = 0.9 * 2 pi among the second.
TEST_F(NativeStepClock, MaximumSpeedCoversThePaddedGrid) {
    constexpr int n = 96, m = 144;
    const auto distance = [](double a, double b) {
        const double d = std::fmod(std::fabs(a - b), test::twoPi);
        return std::min(d, test::twoPi - d);
    };
    for (double height : {0.1, 0.9}) {
        SCOPED_TRACE(height);
        std::vector<float> field(std::size_t(n) * n);
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i) {
                const double dx = distance(test::twoPi * i / n, test::twoPi / 2);
                const double dy = distance(test::twoPi * j / n, height * test::twoPi);
                field[std::size_t(j) * n + i] = float(std::exp(-(dx * dx + dy * dy) / 0.09));
            }
        mirel::Config config = flowConfig(n, 0, 1000.0);
        config.cfl = 0.5f;
        mirel::Solver solver(config, field);
        const double expected = maximumSpeed(readOmega(solver), n, m);
        const mirel::ClockState clock = readClock(solver);
        EXPECT_NEAR(clock.maxSpeed, expected, 1e-5 * expected);
        EXPECT_NEAR(clock.dt, 1.0 / (n * expected), 1e-5 / (n * expected));
    }
}

class AdvanceErrors : public test::DeviceTest {};

TEST_F(AdvanceErrors, RefusesBadStepsAndEndTimes) {
    mirel::Solver solver(flowConfig(16, 2, 1000.0, 0.01f));
    struct Case {
        int steps;
        double until;
    };
    const Case cases[] = {
        {-1, 1.0},
        {10, -1.0},
        {10, nan},
        {10, inviscid},
        {10, -inviscid},
        {10, 1e39},
        {10, -1e-300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.steps << " steps until " << c.until);
        test::expectError<std::invalid_argument>([&] { solver.advance(c.steps, c.until); }, "Invalid steps or endpoint.");
    }
    test::expectError<std::invalid_argument>([&] { solver.advance(-1); }, "Invalid steps or endpoint.");
    EXPECT_EQ(solver.statistics().steps, 0u);
    EXPECT_EQ(solver.advance(1, double(std::numeric_limits<float>::max())).steps, 1u);
}

// A flow that became non-finite fails the solver until a reset: once from the device clock,
// then with the sticky message, while the controls and argument checks still work.
TEST_F(AdvanceErrors, NonFiniteFlowFailsTheSolverUntilReset) {
    constexpr int n = 16;
    const float nanFloat = std::numeric_limits<float>::quiet_NaN();
    struct Poison {
        const char* name;
        bool correction;  // the NaN enters through the compensation, not the velocity
    };
    const Poison poisons[] = {{"NaN in omega", false}, {"NaN in the compensation", true}};
    for (const Poison& poison : poisons)
        for (const Method& method : methods) {
            SCOPED_TRACE(testing::Message() << poison.name << ", " << method.name);
            mirel::Solver solver(flowConfig(n, method.index, 1000.0, 0.01f));
            mirel::Solver::Impl& impl = mirel::SolverInternals::of(solver);
            solver.advance(2);
            const mirel::ClockState before = readClock(solver);
            std::vector<Complex> values = poison.correction ? std::vector<Complex>(impl.columns * n, Complex{0, 0})
                                                            : readOmega(solver);
            values[modeIndex(n, 2, -3)].im = nanFloat;
            if (poison.correction)
                test::writeBuffer(impl.correction, values);
            else
                test::writeOmega(solver, values);
            test::expectError<std::runtime_error>([&] { solver.advance(5); }, nonFiniteMessage);
            if (!poison.correction) {
                EXPECT_TRUE(test::sameBits(readOmega(solver), values)) << "a stage changed the flow";
            }
            const mirel::ClockState after = readClock(solver);
            EXPECT_EQ(after.valid, 0u);
            EXPECT_EQ(after.steps, before.steps);
            EXPECT_EQ(after.timeHi, before.timeHi);
            EXPECT_EQ(after.timeLo, before.timeLo);
            test::expectError<std::runtime_error>([&] { solver.advance(1); }, failedMessage);
            test::expectError<std::runtime_error>([&] { solver.advance(0); }, failedMessage);
            test::expectError<std::runtime_error>([&] { solver.inspect(); }, failedMessage);
            test::expectError<std::runtime_error>([&] { solver.statistics(); }, failedMessage);
            test::expectError<std::invalid_argument>([&] { solver.advance(-1); }, "Invalid steps or endpoint.");
            solver.setCFL(1.0f);
            solver.setReynolds(500.0);
            solver.reset({});
            const mirel::Statistics recovered = solver.advance(3);
            EXPECT_EQ(recovered.steps, 3u);
            EXPECT_EQ(recovered.reynolds, 500.0);
        }
}

// An unstable fixed step blows the flow up within a few steps.
TEST_F(AdvanceErrors, BlowUpFailsTheSolver) {
    mirel::Config config = flowConfig(16, 0, inviscid, 50.0f);
    config.k0 = 6;
    mirel::Solver solver(config);
    test::expectError<std::runtime_error>([&] { solver.advance(100); }, nonFiniteMessage);
    test::expectError<std::runtime_error>([&] { solver.statistics(); }, failedMessage);
}

class SolverControls : public test::DeviceTest {};

TEST_F(SolverControls, RefusedReynoldsAndCFLLeaveTheCurrentValues) {
    mirel::Config config = flowConfig(16, 2, 27898.36614974335);
    config.cfl = 3.0f;
    mirel::Solver solver(config);
    const float nanFloat = std::numeric_limits<float>::quiet_NaN();
    const float infinityFloat = std::numeric_limits<float>::infinity();
    for (double reynolds : {-1.0, 0.0, nan, inviscid, -inviscid, 1e-39}) {
        SCOPED_TRACE(reynolds);
        test::expectError<std::invalid_argument>([&] { solver.setReynolds(reynolds); }, "Re must be finite and positive.");
    }
    for (float cfl : {0.0f, -1.0f, nanFloat, infinityFloat, -infinityFloat}) {
        SCOPED_TRACE(cfl);
        test::expectError<std::invalid_argument>([&] { solver.setCFL(cfl); }, "CFL must be finite and positive.");
    }
    EXPECT_EQ(solver.statistics().reynolds, 27898.36614974335);
    EXPECT_EQ(mirel::SolverInternals::of(solver).cfl, 3.0f);
    solver.setReynolds(2000.0);
    solver.setCFL(0.5f);
    EXPECT_EQ(solver.statistics().reynolds, 2000.0);
    EXPECT_EQ(solver.advance(1).reynolds, 2000.0);
    EXPECT_EQ(mirel::SolverInternals::of(solver).cfl, 0.5f);
    EXPECT_EQ(solver.configuration().reynolds, 27898.36614974335);
    EXPECT_EQ(solver.configuration().cfl, 3.0f);
}

}  // namespace
