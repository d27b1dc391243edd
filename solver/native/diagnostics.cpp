#include <cmath>
#include <stdexcept>

#include "solver/cuda/cuda_check.hpp"
#include "solver/native/kernels.hpp"
#include "solver/native/solver_failure.hpp"
#include "solver/native/solver_state.hpp"

namespace mirel {

Statistics Solver::inspect() {
    Impl& s = *impl;
    if (s.failed) throw std::runtime_error(failedMessage);
    return guarded(s.failed, [&] {
        const cudaStream_t stream = s.queue.value;
        float4* partials = s.data->hostStatPartials;
        constexpr std::size_t partialBytes = sizeof(s.data->hostStatPartials);
        kernels::spectralStatistics(stream, s.omega.as<V2>(), s.statPartials.as<float4>(), s.params(0));
        cudaCheck(cudaMemcpyAsync(partials, s.statPartials.ptr, partialBytes, cudaMemcpyDeviceToHost, stream),
                  "cudaMemcpyAsync(partials.data(),s.statPartials.ptr,sizeof(partials),cudaMemcpyDeviceToHost,stream())");
        s.readClock();
        double energy = 0.0, enstrophy = 0.0, palinstrophy = 0.0;
        s.stats.energy = s.stats.enstrophy = s.stats.palinstrophy = 0.0;
        for (unsigned b = 0; b < reductionBlocks; ++b) {
            if (partials[b].z != 0.0f) throw std::runtime_error("Non-finite spectral diagnostics.");
            s.stats.energy = energy += partials[b].x;
            s.stats.enstrophy = enstrophy += partials[b].y;
            s.stats.palinstrophy = palinstrophy += partials[b].w;
        }
        if (!std::isfinite(energy) || !std::isfinite(enstrophy) || !std::isfinite(palinstrophy))
            throw std::runtime_error("Non-finite spectral reduction.");
        const double k = s.n / 2 - 1.0;
        s.stats.palinstrophyRatio = enstrophy > 0.0 ? palinstrophy / (((enstrophy + enstrophy) * k) * k) : 0.0;
        std::uint64_t fftBytes = s.baseFFT->allocatedBytes();
        if (s.paddedFFT) fftBytes += s.paddedFFT->allocatedBytes();
        if (s.complexFFT) fftBytes += s.complexFFT->allocatedBytes();
        if (s.cnab) fftBytes += s.cnab->fftBytes();
        s.stats.fftBytes = fftBytes;
        return statistics();
    });
}

}  // namespace mirel
