// Reset: the initial spectrum from the start spectra or from a supplied field, the restarted
// clock and step state, the refusal of bad fields, and recovery from a failure.
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "solver/native/start_spectra.hpp"
#include "support/flow_fixture.hpp"
#include "support/messages.hpp"

namespace {

using mirel::Complex;
using test::flowConfig;
using test::modeField;
using test::modeIndex;
using test::readOmega;

constexpr const char* badFieldMessage = "Initial vorticity must contain exactly N² finite Float32 samples.";

// Fails the solver through a NaN in its flow.
void fail(mirel::Solver& solver) {
    std::vector<Complex> omega = readOmega(solver);
    omega[1].re = std::numeric_limits<float>::quiet_NaN();
    test::writeOmega(solver, omega);
    EXPECT_THROW(solver.advance(1), std::runtime_error);
}

class SolverReset : public test::DeviceTest {};

TEST_F(SolverReset, RefusesFieldsThatAreNotNSquaredFiniteSamples) {
    constexpr int n = 16;
    const std::vector<float> good = modeField(n, 2, 1, 1.0);
    struct Case {
        const char* name;
        std::size_t size;
        std::size_t poisoned;
        float value;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float infinity = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {"N^2 - 1 samples", n * n - 1, 0, 0.5f},
        {"N^2 + 1 samples", n * n + 1, 0, 0.5f},
        {"one sample", 1, 0, 0.5f},
        {"NaN first", n * n, 0, nan},
        {"infinity last", n * n, n * n - 1, infinity},
        {"minus infinity inside", n * n, 77, -infinity},
    };
    for (bool failed : {false, true}) {
        mirel::Solver solver(flowConfig(n, 2, 1000.0, 0.01f));
        solver.advance(2);
        if (failed) fail(solver);
        const std::vector<Complex> omega = readOmega(solver);
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << (failed ? ", failed solver" : ""));
            std::vector<float> field = good;
            field.resize(c.size, 0.25f);
            field[c.poisoned] = c.value;
            test::expectError<std::invalid_argument>([&] { solver.reset(field); }, badFieldMessage);
            EXPECT_TRUE(test::sameBits(readOmega(solver), omega));
            if (failed) {
                test::expectError<std::runtime_error>([&] { solver.statistics(); }, test::failedMessage);
            } else {
                EXPECT_EQ(solver.statistics().steps, 2u);
            }
        }
    }
}

// Without a field the start spectrum goes into omega unchanged, the same every time.
TEST_F(SolverReset, GeneratedStartIsTheStartSpectrum) {
    for (std::uint32_t spectrum : {0u, 1u}) {
        SCOPED_TRACE(spectrum);
        mirel::Config config = flowConfig(32, 1, 1000.0, 0.01f);
        config.startSpectrum = spectrum;
        config.k0 = 3;
        config.seed = 99;
        const std::vector<Complex> expected = mirel::nativeSpectrum(config);
        mirel::Solver solver(config);
        for (int round = 0; round < 2; ++round) {
            const std::vector<Complex> omega = readOmega(solver);
            EXPECT_TRUE(test::sameBits(omega, expected));
            solver.advance(1);
            solver.reset({});
        }
    }
}

// A supplied field becomes N^2 times its Fourier coefficients, without the mean and without the
// Nyquist lines kx = N/2 and ky = N/2, which the solver does not keep.
TEST_F(SolverReset, SuppliedFieldBecomesItsSpectrum) {
    constexpr int n = 16, h = n / 2;
    const std::vector<float> field = test::waveField(
        n, {{0, 0, 5.0}, {3, -2, 1.0}, {0, 5, 0.5}, {h, 0, 0.75}, {0, h, 0.25}, {h, 3, 2.0}, {2, h, 1.5}});
    mirel::Solver solver(flowConfig(n, 0, 1000.0, 0.01f), field);
    const std::vector<Complex> omega = readOmega(solver);
    std::vector<Complex> expected(omega.size(), Complex{0.0f, 0.0f});
    expected[modeIndex(n, 3, -2)] = Complex{n * n / 2.0f, 0.0f};
    expected[modeIndex(n, 0, 5)] = expected[modeIndex(n, 0, -5)] = Complex{n * n / 4.0f, 0.0f};
    for (std::size_t i = 0; i < omega.size(); ++i) {
        const int row = int(i) / (h + 1), kx = int(i) % (h + 1);
        if (kx == h || row == h || i == 0) {
            EXPECT_EQ(omega[i].re, 0.0f) << row << ", " << kx;
            EXPECT_EQ(omega[i].im, 0.0f) << row << ", " << kx;
        } else {
            EXPECT_NEAR(omega[i].re, expected[i].re, 1e-3) << row << ", " << kx;
            EXPECT_NEAR(omega[i].im, expected[i].im, 1e-3) << row << ", " << kx;
        }
    }
}

// A reset starts over: zero steps and time, no GPU time, cleared compensation and stage buffers,
// and a first step chosen afresh, without the growth limit of the steps before.
TEST_F(SolverReset, RestartsTheClockAndTheStepState) {
    constexpr int n = 16;
    for (std::uint32_t method : {0u, 1u, 2u}) {
        SCOPED_TRACE(method);
        mirel::Config config = flowConfig(n, method, 1000.0);
        config.cfl = 0.5f;
        const std::vector<float> field = modeField(n, 1, 0, 1.0);
        mirel::Solver solver(config, field);
        const mirel::Statistics start = solver.statistics();
        EXPECT_NEAR(start.dt, 1.0 / 16.0, 1e-7);
        solver.setCFL(4.0f);
        solver.setReynolds(500.0);
        const mirel::Statistics stepped = solver.advance(4);
        ASSERT_GT(stepped.dt, 1.5f * start.dt);
        mirel::Solver::Impl& impl = mirel::SolverInternals::of(solver);
        const std::vector<Complex> junk(impl.columns * n, Complex{3.0f, -1.0f});
        test::writeBuffer(impl.correction, junk);
        test::writeBuffer(impl.first, junk);
        solver.setCFL(0.5f);
        solver.reset(field);
        const mirel::Statistics again = solver.statistics();
        EXPECT_EQ(again.steps, 0u);
        EXPECT_EQ(again.simulationTime, 0.0);
        EXPECT_EQ(again.gpuMilliseconds, 0.0);
        EXPECT_EQ(again.dt, start.dt);
        EXPECT_EQ(again.reynolds, 500.0);
        EXPECT_EQ(again.energy, start.energy);
        EXPECT_EQ(again.initialTurnoverTime, start.initialTurnoverTime);
        const mirel::ClockState clock = test::readClock(solver);
        EXPECT_EQ(clock.dtMemory, start.dt);
        EXPECT_EQ(clock.valid, 1u);
        for (const mirel::DeviceBuffer* buffer : {&impl.correction, &impl.first}) {
            std::vector<Complex> values(junk.size(), Complex{1.0f, 1.0f});
            ASSERT_EQ(cudaMemcpy(values.data(), buffer->ptr, buffer->bytes, cudaMemcpyDeviceToHost), cudaSuccess);
            for (const Complex& value : values) {
                EXPECT_EQ(value.re, 0.0f);
                EXPECT_EQ(value.im, 0.0f);
            }
        }
        EXPECT_EQ(solver.advance(1).steps, 1u);
    }
}

TEST_F(SolverReset, SuppliedFieldClearsAFailure) {
    constexpr int n = 16;
    mirel::Solver solver(flowConfig(n, 2, 1000.0, 0.01f));
    fail(solver);
    solver.reset(modeField(n, 2, 3, 1.0));
    EXPECT_NEAR(solver.statistics().enstrophy, 0.25, 1e-6);
    EXPECT_EQ(solver.advance(2).steps, 2u);
}

}  // namespace
