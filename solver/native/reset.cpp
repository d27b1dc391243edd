#include <cmath>
#include <stdexcept>

#include "solver/common/two_pi.hpp"
#include "solver/cuda/cuda_check.hpp"
#include "solver/cuda/device_math.hpp"
#include "solver/native/kernels.hpp"
#include "solver/native/solver_failure.hpp"
#include "solver/native/solver_state.hpp"
#include "solver/native/start_spectra.hpp"

namespace mirel {
namespace {

bool acceptable(const std::vector<float>& initial, std::int32_t n) {
    if (initial.size() != static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(n)) return false;
    for (float sample : initial)
        if (!finite(sample)) return false;
    return true;
}

// The CNAB2 solver's configuration: the run's, at the Reynolds and CFL numbers in force.
legacy::Config cnab2Config(const Solver::Impl& s) {
    legacy::Config c;
    c.N = s.config.resolution;
    c.steps = 0;
    c.update = 100;
    c.seed = static_cast<std::int32_t>(static_cast<std::uint32_t>(s.config.seed));
    c.Re = s.reynolds;
    c.K0 = static_cast<double>(s.config.k0);
    c.CFL = static_cast<double>(s.cfl);
    c.dt = s.config.fixedDt;
    c.startSpectrum = s.config.startSpectrum;
    return c;
}

}  // namespace

void Solver::reset(const std::vector<float>& initial) {
    Impl& s = *impl;
    if (!initial.empty() && !acceptable(initial, s.n))
        throw std::invalid_argument("Initial vorticity must contain exactly N² finite Float32 samples.");
    s.failed = false;
    guarded(s.failed, [&] {
        const cudaStream_t stream = s.queue.value;
        const Params p = s.params(0);
        if (s.config.method == CNAB2) {
            // The new CNAB2 solver writes omega on its own stream: what an operation that failed
            // left running on this one must be done by then.
            cudaCheck(cudaStreamSynchronize(stream), "cudaStreamSynchronize(stream())");
            s.cnab.reset();
            s.cnab = std::make_unique<legacy::Solver>(cnab2Config(s));
        }
        if (initial.empty() && s.cnab) {
            s.cnab->copySpectrumTo(s.omega.as<Complex>(), s.columns, -static_cast<float>(s.n * s.n));
        } else if (initial.empty()) {
            const std::vector<Complex> values = nativeSpectrum(s.config);
            cudaCheck(cudaMemcpyAsync(s.omega.ptr, values.data(), s.omega.bytes, cudaMemcpyHostToDevice, stream),
                      "cudaMemcpyAsync(s.omega.ptr,values.data(),s.omega.bytes,cudaMemcpyHostToDevice,stream())");
            cudaCheck(cudaStreamSynchronize(stream), "cudaStreamSynchronize(stream())");
        } else {
            std::vector<V2> values(initial.size());
            for (std::size_t i = 0; i < initial.size(); ++i) values[i] = V2{initial[i], 0.0f};
            DeviceBuffer input(values.size() * sizeof(V2));
            cudaCheck(cudaMemcpyAsync(input.ptr, values.data(), input.bytes, cudaMemcpyHostToDevice, stream),
                      "cudaMemcpyAsync(input.ptr,values.data(),input.bytes,cudaMemcpyHostToDevice,stream())");
            if (!s.complexFFT) s.complexFFT = std::make_unique<FFT>(s.n, false, s.n, 0, stream);
            s.complexFFT->transform(input.ptr, 1, false);
            kernels::projectState(stream, input.as<V2>(), s.omega.as<V2>(), p);
            cudaCheck(cudaStreamSynchronize(stream), "cudaStreamSynchronize(stream())");
            if (s.cnab) s.cnab->loadSpectrum(s.omega.as<Complex>(), s.columns, -1.0f / static_cast<float>(s.n * s.n));
        }
        ClockState clock{};
        clock.valid = 1;
        cudaCheck(cudaMemcpyAsync(s.clock.ptr, &clock, sizeof(clock), cudaMemcpyHostToDevice, stream),
                  "cudaMemcpyAsync(s.clock.ptr,&clock,sizeof(clock),cudaMemcpyHostToDevice,stream())");
        cudaCheck(cudaMemsetAsync(s.correction.ptr, 0, s.correction.bytes, stream),
                  "cudaMemsetAsync(s.correction.ptr,0,s.correction.bytes,stream())");
        cudaCheck(cudaMemsetAsync(s.first.ptr, 0, s.first.bytes, stream),
                  "cudaMemsetAsync(s.first.ptr,0,s.first.bytes,stream())");
        s.stats.initialTurnoverTime = 0.0;
        s.stats.gpuMilliseconds = 0.0;
        if (s.paddedFFT) {
            kernels::velocityToPadded(stream, s.omega.as<V2>(), s.padded.as<V2>(), p);
            s.paddedFFT->transform(s.padded.ptr, s.config.form == stress ? 2 : 4, true);
            kernels::reduceCFLAndProducts(stream, s.padded.as<float>(), s.cflPartials.as<V2>(), p);
            kernels::selectTimeStep(stream, s.cflPartials.as<V2>(), s.clock.as<ClockState>(), p);
            // The first step transforms the velocity of the new field, as every later one
            // transforms what the step before left.
            kernels::velocityToPadded(stream, s.omega.as<V2>(), s.padded.as<V2>(), p);
        }
        s.readClock();
        const Statistics fresh = inspect();
        if (fresh.energy > 0.0 && fresh.enstrophy > 0.0)
            s.stats.initialTurnoverTime =
                (std::sqrt(fresh.energy / fresh.enstrophy) * twoPi) / std::sqrt(fresh.energy + fresh.energy);
    });
}

}  // namespace mirel
