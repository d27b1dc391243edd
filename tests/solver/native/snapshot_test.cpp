// Frames and the spectrum read-out against fields evaluated in double precision on the host:
// single Fourier modes written straight into the solver's spectrum, the frame-slot ring, frames
// that outlive their solver, non-finite fields, and the Hermitian completion of spectrum().
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <complex>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "solver/cuda/layout.hpp"
#include "solver/native/kernels.hpp"
#include "solver/native/solver_failure.hpp"
#include "support/device_copy.hpp"
#include "support/expect_error.hpp"
#include "support/solver_fixture.hpp"

namespace {

using mirel::Complex;
using mirel::Frame;
using mirel::Solver;
constexpr double pi = 3.14159265358979323846;

mirel::Config grid(int n, std::uint32_t method = 2) {
    mirel::Config c;
    c.resolution = n;
    c.method = method;
    return c;
}

std::vector<Complex> storedSpectrum(Solver& solver) {
    const Solver::Impl& s = mirel::SolverInternals::of(solver);
    return test::download<Complex>(s.queue.value, s.omega.ptr, s.omega.bytes / sizeof(Complex));
}

void storeSpectrum(Solver& solver, const std::vector<Complex>& half) {
    Solver::Impl& s = mirel::SolverInternals::of(solver);
    ASSERT_EQ(half.size() * sizeof(Complex), s.omega.bytes);
    test::upload(s.queue.value, s.omega.ptr, half);
}

// ω = A cos(kx x + ky y + φ) on the grid x = 2π i / N, y = 2π j / N.
struct Mode {
    int n;
    int kx;
    int ky;
    double amplitude;
    double phase;
};

double angle(const Mode& m, int i, int j) {
    const int turns = ((m.kx * i + m.ky * j) % m.n + m.n) % m.n;
    return 2.0 * pi * turns / m.n + m.phase;
}

// The stored half spectrum of the mode: N² · (A/2) e^{iφ} at (kx, ky), with the conjugate at
// (0, −ky) when the mode lies in the kx = 0 column, which holds both signs of ky.
std::vector<Complex> modeSpectrum(const Mode& m) {
    const int columns = mirel::layout::halfColumns(m.n);
    std::vector<Complex> half(static_cast<std::size_t>(m.n) * columns, Complex{0.0f, 0.0f});
    const double scale = 0.5 * m.amplitude * m.n * m.n;
    const Complex value{static_cast<float>(scale * std::cos(m.phase)), static_cast<float>(scale * std::sin(m.phase))};
    half[columns * mirel::layout::row(m.ky, m.n) + m.kx] = value;
    if (m.kx == 0) half[columns * mirel::layout::row(-m.ky, m.n)] = Complex{value.re, -value.im};
    return half;
}

// The three planes of the mode: ω, then u = −(ky A / k²) sin, v = (kx A / k²) sin, which follow
// from ω = −∇²ψ, u = ∂ψ/∂y, v = −∂ψ/∂x.
std::vector<double> modePlanes(const Mode& m) {
    const std::size_t points = static_cast<std::size_t>(m.n) * m.n;
    const double k2 = m.kx * m.kx + m.ky * m.ky;
    std::vector<double> planes(3 * points);
    for (int j = 0; j < m.n; ++j) {
        for (int i = 0; i < m.n; ++i) {
            const double theta = angle(m, i, j);
            const std::size_t at = static_cast<std::size_t>(m.n) * j + i;
            planes[at] = m.amplitude * std::cos(theta);
            planes[points + at] = -m.ky * m.amplitude / k2 * std::sin(theta);
            planes[2 * points + at] = m.kx * m.amplitude / k2 * std::sin(theta);
        }
    }
    return planes;
}

struct Moments {
    double maxVorticity = 0.0;
    double mean = 0.0;
    double deviation = 0.0;
    double maxSpeed = 0.0;
};

Moments moments(const std::vector<double>& planes, int n) {
    const std::size_t points = static_cast<std::size_t>(n) * n;
    Moments m;
    double sum = 0.0, squares = 0.0;
    for (std::size_t i = 0; i < points; ++i) {
        const double w = planes[i];
        m.maxVorticity = std::max(m.maxVorticity, std::fabs(w));
        m.maxSpeed = std::max(m.maxSpeed, std::hypot(planes[points + i], planes[2 * points + i]));
        sum += w;
        squares += w * w;
    }
    m.mean = sum / points;
    m.deviation = std::sqrt(squares / points - m.mean * m.mean);
    return m;
}

class Snapshots : public test::DeviceTest {};

TEST_F(Snapshots, SingleModeGivesExactSamplesAndMoments) {
    const Mode modes[] = {
        {16, 1, 2, 3.0, 0.3},
        {16, 3, -5, 0.75, -1.1},
        {16, 0, 3, 2.0, 0.7},
        {16, 7, -7, 1.0, 0.0},
        {32, 5, -11, 1.5, 2.0},
    };
    for (const Mode& mode : modes) {
        SCOPED_TRACE(testing::Message() << "N=" << mode.n << " k=(" << mode.kx << "," << mode.ky << ")");
        Solver solver(grid(mode.n));
        storeSpectrum(solver, modeSpectrum(mode));
        const std::vector<double> expected = modePlanes(mode);
        const std::size_t points = static_cast<std::size_t>(mode.n) * mode.n;
        const double tolerance = 4.0 * FLT_EPSILON * mode.amplitude;
        const Moments exact = moments(expected, mode.n);
        const void* slot = nullptr;
        // The velocity frame first: the one without velocity reuses its slot and must clear
        // the velocity planes it left behind.
        for (const bool velocity : {true, false}) {
            SCOPED_TRACE(velocity ? "with velocity" : "without velocity");
            const std::shared_ptr<Frame> frame = solver.snapshot(velocity);
            ASSERT_NE(frame, nullptr);
            if (slot == nullptr) slot = frame->storage.get();
            EXPECT_EQ(frame->storage.get(), slot);
            EXPECT_EQ(frame->grid_size, mode.n);
            EXPECT_EQ(frame->velocity, velocity);
            const std::vector<float> planes = solver.readFrame(*frame);
            ASSERT_EQ(planes.size(), 3 * points);
            for (std::size_t i = 0; i < 3 * points; ++i) {
                const double want = velocity || i < points ? expected[i] : 0.0;
                ASSERT_NEAR(planes[i], want, tolerance) << "plane " << i / points << " point " << i % points;
            }
            EXPECT_NEAR(frame->max_vorticity, exact.maxVorticity, tolerance);
            EXPECT_NEAR(frame->mean_vorticity, exact.mean, tolerance);
            EXPECT_NEAR(frame->std_vorticity, exact.deviation, tolerance);
            EXPECT_NEAR(frame->std_vorticity, mode.amplitude / std::sqrt(2.0), tolerance);
            EXPECT_NEAR(frame->max_speed, velocity ? exact.maxSpeed : 0.0, velocity ? tolerance : 0.0);
        }
    }
}

TEST_F(Snapshots, UniformFieldHasNoDeviation) {
    // 0.3f squared rounds down in single precision, so the variance comes out just below zero.
    const float low = 0.3f;
    ASSERT_LT(static_cast<double>(low * low), static_cast<double>(low) * static_cast<double>(low));
    for (const float level : {0.0f, 1.5f, 0.3f, -0.3f}) {
        SCOPED_TRACE(level);
        Solver solver(grid(16));
        std::vector<Complex> half(16 * 9, Complex{0.0f, 0.0f});
        half[0] = Complex{256.0f * level, 0.0f};
        storeSpectrum(solver, half);
        const std::shared_ptr<Frame> frame = solver.snapshot(true);
        ASSERT_NE(frame, nullptr);
        const std::vector<float> planes = solver.readFrame(*frame);
        for (std::size_t i = 0; i < 256; ++i) ASSERT_EQ(planes[i], level) << i;
        EXPECT_EQ(frame->max_vorticity, std::fabs(level));
        EXPECT_EQ(frame->mean_vorticity, level);
        EXPECT_EQ(frame->std_vorticity, 0.0f);
        EXPECT_EQ(frame->max_speed, 0.0f);
    }
}

TEST_F(Snapshots, HeldFramesOccupyTheThreeSlotsLowestFreeFirst) {
    Solver solver(grid(16));
    std::shared_ptr<Frame> held[3];
    for (auto& frame : held) {
        frame = solver.snapshot(false);
        ASSERT_NE(frame, nullptr);
    }
    EXPECT_NE(held[0]->storage.get(), held[1]->storage.get());
    EXPECT_NE(held[1]->storage.get(), held[2]->storage.get());
    EXPECT_NE(held[0]->storage.get(), held[2]->storage.get());
    EXPECT_EQ(solver.snapshot(true), nullptr);
    EXPECT_NO_THROW(solver.statistics());

    void* const middle = held[1]->storage.get();
    std::shared_ptr<Frame> copy = held[1];
    held[1].reset();
    EXPECT_EQ(solver.snapshot(false), nullptr) << "a copy of the frame keeps its slot busy";
    copy.reset();
    held[1] = solver.snapshot(true);
    ASSERT_NE(held[1], nullptr);
    EXPECT_EQ(held[1]->storage.get(), middle);
    EXPECT_EQ(solver.snapshot(false), nullptr);

    void* const first = held[0]->storage.get();
    void* const last = held[2]->storage.get();
    held[2].reset();
    held[0].reset();
    held[0] = solver.snapshot(false);
    ASSERT_NE(held[0], nullptr);
    EXPECT_EQ(held[0]->storage.get(), first);
    held[2] = solver.snapshot(false);
    ASSERT_NE(held[2], nullptr);
    EXPECT_EQ(held[2]->storage.get(), last);
}

TEST_F(Snapshots, FrameOutlivesItsSolver) {
    const Mode mode{16, 2, 1, 1.25, 0.4};
    std::shared_ptr<Frame> frame;
    std::vector<float> before;
    {
        Solver solver(grid(16));
        storeSpectrum(solver, modeSpectrum(mode));
        frame = solver.snapshot(true);
        ASSERT_NE(frame, nullptr);
        before = solver.readFrame(*frame);
    }
    // readFrame needs only the frame; a solver of another size reads it at the frame's size.
    Solver other(grid(32));
    const std::shared_ptr<Frame> own = other.snapshot(true);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(other.readFrame(*frame), before);
    EXPECT_EQ(frame->grid_size, 16);
}

TEST_F(Snapshots, FrameCarriesTheStatisticsClock) {
    Solver solver(grid(16));
    const mirel::Statistics after = solver.advance(3);
    ASSERT_EQ(after.steps, 3u);
    ASSERT_GT(after.simulationTime, 0.0);
    const std::shared_ptr<Frame> frame = solver.snapshot(false);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->steps, 3);
    EXPECT_EQ(frame->time, after.simulationTime);
    EXPECT_EQ(frame->grid_size, 16);
}

TEST_F(Snapshots, NonFiniteFieldFailsTheSolver) {
    struct Case {
        const char* name;
        double amplitude;
        float corruption;  // written into mode (3, 5) when not zero
        bool velocity;
        const char* message;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float infinity = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {"NaN mode, velocity", 1.0, nan, true, "Non-finite snapshot."},
        {"NaN mode, vorticity only", 1.0, nan, false, "Non-finite snapshot."},
        {"infinite mode", 1.0, infinity, false, "Non-finite snapshot."},
        {"squares overflow", 1e30, 0.0f, false, "Non-finite snapshot moments."},
        {"squares overflow, velocity", 1e30, 0.0f, true, "Non-finite snapshot moments."},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const Mode mode{16, 1, 2, test.amplitude, 0.0};
        Solver solver(grid(16));
        const std::shared_ptr<Frame> kept = solver.snapshot(true);
        ASSERT_NE(kept, nullptr);
        const std::vector<float> keptPlanes = solver.readFrame(*kept);
        std::vector<Complex> half = modeSpectrum(mode);
        if (test.corruption != 0.0f) half[9 * 5 + 3].re = test.corruption;
        storeSpectrum(solver, half);

        test::expectError<std::runtime_error>([&] { solver.snapshot(test.velocity); }, test.message);
        test::expectError<std::runtime_error>([&] { solver.statistics(); }, mirel::failedMessage);
        test::expectError<std::runtime_error>([&] { solver.snapshot(false); }, mirel::failedMessage);
        test::expectError<std::runtime_error>([&] { solver.spectrum(); }, mirel::failedMessage);
        EXPECT_EQ(solver.readFrame(*kept), keptPlanes);

        // The frame of the failed snapshot was dropped: after a reset its slot, the lowest
        // free one, is handed out again.
        solver.reset({});
        const mirel::Statistics fresh = solver.statistics();
        EXPECT_EQ(fresh.steps, 0u);
        const std::shared_ptr<Frame> next = solver.snapshot(false);
        ASSERT_NE(next, nullptr);
        EXPECT_NE(next->storage.get(), kept->storage.get());
        const std::shared_ptr<Frame> last = solver.snapshot(false);
        EXPECT_NE(last, nullptr);
        EXPECT_EQ(solver.snapshot(false), nullptr);
    }
}

TEST_F(Snapshots, NyquistRowVelocityFollowsTheLayoutOfTheMethod) {
    // The mode (kx = 0, row N/2) = (a, b). The native layout reads that row as ky = +N/2, the
    // CNAB2 layout as ky = −N/2 with the mode taken as real: u = i ky ω̂ / k² = ∓(i a − b) / h.
    struct Case {
        const char* name;
        std::uint32_t method;
        Complex vorticity, u;
    };
    const int n = 16, h = n / 2;
    const float a = 3.0f, b = -5.0f;
    const Case cases[] = {
        {"native", 2, {a, b}, {-b / h, a / h}},
        {"CNAB2", mirel::CNAB2, {a, 0.0f}, {b / h, 0.0f}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        Solver solver(grid(n));
        Solver::Impl& s = mirel::SolverInternals::of(solver);
        std::vector<Complex> half(n * (h + 1), Complex{0.0f, 0.0f});
        half[(h + 1) * h] = Complex{a, b};
        storeSpectrum(solver, half);
        mirel::Params p = s.params(0);
        p.planes = 3;
        p.method = test.method;
        mirel::kernels::prepareSnapshot(s.queue.value, s.omega.as<mirel::V2>(), s.snapshotWork.as<mirel::V2>(), p);
        const std::vector<Complex> work = test::download<Complex>(s.queue.value, s.snapshotWork.ptr, 3 * half.size());
        const std::size_t at = (h + 1) * h;
        EXPECT_EQ(work[at].re, test.vorticity.re);
        EXPECT_EQ(work[at].im, test.vorticity.im);
        EXPECT_EQ(work[half.size() + at].re, test.u.re);
        EXPECT_EQ(work[half.size() + at].im, test.u.im);
        EXPECT_EQ(work[2 * half.size() + at].re, 0.0f);
        EXPECT_EQ(work[2 * half.size() + at].im, 0.0f);
    }
}

TEST_F(Snapshots, CNAB2NyquistRowIsNegativeAndReal) {
    // The (kx = 0, row N/2) mode (a, b) of a CNAB2 solver: ω = a (−1)^y / N², and with
    // ky = −N/2 the spectral u is (b / (N/2), 0), so u = b (−1)^y / (N/2 · N²); v vanishes.
    const int n = 16;
    Solver solver(grid(n, mirel::CNAB2));
    std::vector<Complex> half(n * (n / 2 + 1), Complex{0.0f, 0.0f});
    const float a = 512.0f, b = -1024.0f;
    half[(n / 2 + 1) * (n / 2)] = Complex{a, b};
    storeSpectrum(solver, half);
    const std::shared_ptr<Frame> frame = solver.snapshot(true);
    ASSERT_NE(frame, nullptr);
    const std::vector<float> planes = solver.readFrame(*frame);
    for (int y = 0; y < n; ++y) {
        const double sign = y % 2 == 0 ? 1.0 : -1.0;
        for (int x = 0; x < n; ++x) {
            const int at = n * y + x;
            ASSERT_NEAR(planes[at], sign * a / (n * n), 1e-6) << at;
            ASSERT_NEAR(planes[n * n + at], sign * b / (n / 2) / (n * n), 1e-6) << at;
            ASSERT_NEAR(planes[2 * n * n + at], 0.0, 1e-6) << at;
        }
    }
}

TEST_F(Snapshots, ExtractionFlagsNonFiniteSamplesOfTheComputedPlanesOnly) {
    // Transformed planes hold real rows of N + 2 floats; the last two of each row are padding.
    struct Case {
        const char* name;
        int plane;
        int column;
        std::uint32_t planes;
        bool flagged;
    };
    const Case cases[] = {
        {"vorticity", 0, 3, 1, true},
        {"u", 1, 3, 3, true},
        {"v", 2, 15, 3, true},
        {"u not computed", 1, 3, 1, false},
        {"v not computed", 2, 3, 1, false},
        {"row padding", 0, 16, 3, false},
    };
    const int n = 16, rowStride = n + 2;
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        Solver solver(grid(n));
        Solver::Impl& s = mirel::SolverInternals::of(solver);
        std::vector<float> work(s.snapshotWork.bytes / sizeof(float), 0.0f);
        work[test.plane * rowStride * n + 5 * rowStride + test.column] = std::numeric_limits<float>::infinity();
        test::upload(s.queue.value, s.snapshotWork.ptr, work);
        mirel::Params p = s.params(0);
        p.planes = test.planes;
        mirel::kernels::extractSnapshot(s.queue.value, s.snapshotWork.as<float>(), static_cast<float*>(s.frames[0].get()),
                                        s.snapshotPartials.as<float4>(), p);
        const std::vector<float4> partials = test::download<float4>(s.queue.value, s.snapshotPartials.ptr, 128);
        bool flagged = false;
        for (int b = 0; b < 64; ++b) flagged = flagged || partials[b].z != 0.0f;
        EXPECT_EQ(flagged, test.flagged);
    }
}

class Spectrum : public test::DeviceTest {};

TEST_F(Spectrum, CompletesTheStoredHalfHermitianAndScaled) {
    const int n = 16;
    Solver solver(grid(n));
    const std::vector<Complex> half = storedSpectrum(solver);
    const std::vector<Complex> full = solver.spectrum();
    ASSERT_EQ(full.size(), static_cast<std::size_t>(n * n));
    const auto at = [&](int r, int c) { return full[n * r + c]; };
    const auto expectConjugate = [](Complex value, Complex mirrored) {
        EXPECT_EQ(value.re, mirrored.re);
        EXPECT_EQ(value.im, -mirrored.im);
    };
    expectConjugate(at(0, 9), at(0, 7));
    expectConjugate(at(3, 9), at(13, 7));
    for (int r = 0; r < n; ++r) {
        SCOPED_TRACE(r);
        for (int c = 0; c <= n / 2; ++c) {
            EXPECT_EQ(at(r, c).re, half[9 * r + c].re / 256.0f);
            EXPECT_EQ(at(r, c).im, half[9 * r + c].im / 256.0f);
        }
        for (int c = n / 2 + 1; c < n; ++c) expectConjugate(at(r, c), at((n - r) % n, n - c));
    }
}

TEST_F(Spectrum, InverseTransformGivesTheFrameVorticity) {
    const int n = 16;
    Solver solver(grid(n));
    const std::vector<Complex> full = solver.spectrum();
    const std::shared_ptr<Frame> frame = solver.snapshot(false);
    ASSERT_NE(frame, nullptr);
    const std::vector<float> planes = solver.readFrame(*frame);
    ASSERT_GT(frame->max_vorticity, 0.0f);
    const double tolerance = 1e-5 * frame->max_vorticity;
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            std::complex<double> value = 0.0;
            for (int r = 0; r < n; ++r)
                for (int c = 0; c < n; ++c)
                    value += std::complex<double>(full[n * r + c].re, full[n * r + c].im) *
                             std::polar(1.0, 2.0 * pi * ((c * x + r * y) % n) / n);
            EXPECT_NEAR(value.imag(), 0.0, tolerance) << x << "," << y;
            EXPECT_NEAR(value.real(), planes[n * y + x], tolerance) << x << "," << y;
        }
    }
}

}  // namespace
