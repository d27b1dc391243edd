#pragma once

// Flows for solver tests: physical fields made from Fourier modes, and direct access to the
// spectral vorticity and the device clock of a solver.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "solver/cuda/kernel_records.hpp"
#include "solver/native/kernels.hpp"
#include "support/expect_error.hpp"
#include "support/solver_fixture.hpp"
#include "support/two_pi.hpp"

namespace test {

inline mirel::Config flowConfig(int n, std::uint32_t method, double reynolds, float fixedDt = 0.0f) {
    mirel::Config config;
    config.resolution = n;
    config.method = method;
    config.reynolds = reynolds;
    config.fixedDt = fixedDt;
    return config;
}

struct Wave {
    int kx, ky;
    double amplitude;
};

// The sum of amplitude * cos(kx x + ky y) over the waves on the N x N grid x = 2 pi i / N,
// y = 2 pi j / N, row j first.
inline std::vector<float> waveField(int n, std::initializer_list<Wave> waves) {
    std::vector<float> field(static_cast<std::size_t>(n) * n);
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            double sum = 0.0;
            for (const Wave& wave : waves) sum += wave.amplitude * std::cos(twoPi * (wave.kx * i + wave.ky * j) / n);
            field[static_cast<std::size_t>(j) * n + i] = static_cast<float>(sum);
        }
    return field;
}

inline std::vector<float> modeField(int n, int kx, int ky, double amplitude) {
    return waveField(n, {{kx, ky, amplitude}});
}

// Position of mode (kx >= 0, ky) in the half spectrum.
inline std::size_t modeIndex(int n, int kx, int ky) {
    return static_cast<std::size_t>(ky < 0 ? ky + n : ky) * (n / 2 + 1) + kx;
}

inline std::vector<mirel::Complex> readOmega(mirel::Solver& solver) {
    mirel::Solver::Impl& impl = mirel::SolverInternals::of(solver);
    std::vector<mirel::Complex> values(impl.omega.bytes / sizeof(mirel::Complex));
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(values.data(), impl.omega.ptr, impl.omega.bytes, cudaMemcpyDeviceToHost), cudaSuccess);
    return values;
}

// A host-to-device copy from pageable memory may still be in flight when cudaMemcpy returns,
// and the solver's stream does not wait for the legacy stream: hence the device synchronisation.
inline void writeBuffer(const mirel::DeviceBuffer& buffer, const std::vector<mirel::Complex>& values) {
    ASSERT_EQ(values.size() * sizeof(mirel::Complex), buffer.bytes);
    ASSERT_EQ(cudaMemcpy(buffer.ptr, values.data(), buffer.bytes, cudaMemcpyHostToDevice), cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}

// Each step transforms the velocity that the solver left in its padded planes with the flow it
// made; a flow written here gets its velocity there as well, as reset gives a new flow its own.
inline void writeOmega(mirel::Solver& solver, const std::vector<mirel::Complex>& values) {
    mirel::Solver::Impl& impl = mirel::SolverInternals::of(solver);
    writeBuffer(impl.omega, values);
    if (!impl.paddedFFT) return;
    mirel::kernels::velocityToPadded(impl.queue.value, impl.omega.as<mirel::V2>(), impl.padded.as<mirel::V2>(),
                                     impl.params(0));
    ASSERT_EQ(cudaStreamSynchronize(impl.queue.value), cudaSuccess);
}

inline mirel::ClockState readClock(mirel::Solver& solver) {
    mirel::Solver::Impl& impl = mirel::SolverInternals::of(solver);
    mirel::ClockState clock{};
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(&clock, impl.clock.ptr, sizeof(clock), cudaMemcpyDeviceToHost), cudaSuccess);
    return clock;
}

inline bool sameBits(const std::vector<mirel::Complex>& a, const std::vector<mirel::Complex>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(mirel::Complex)) == 0;
}

// |a - b| / |b| over whole spectra.
inline double relativeDistance(const std::vector<mirel::Complex>& a, const std::vector<mirel::Complex>& b) {
    double difference = 0.0, norm = 0.0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        const double dx = double(a[i].re) - b[i].re, dy = double(a[i].im) - b[i].im;
        difference += dx * dx + dy * dy;
        norm += double(b[i].re) * b[i].re + double(b[i].im) * b[i].im;
    }
    return std::sqrt(difference / norm);
}

}  // namespace test
