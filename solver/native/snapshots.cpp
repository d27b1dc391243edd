#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "solver/cuda/cuda_check.hpp"
#include "solver/native/kernels.hpp"
#include "solver/native/solver_failure.hpp"
#include "solver/native/solver_state.hpp"

namespace mirel {
std::shared_ptr<Frame> Solver::snapshot(bool velocity) {
    Impl& s = *impl;
    if (s.failed) throw std::runtime_error(failedMessage);
    const auto slot = std::find_if(s.frames.begin(), s.frames.end(),
                                   [](const std::shared_ptr<void>& held) { return held.use_count() == 1; });
    if (slot == s.frames.end()) return nullptr;
    auto frame = std::make_shared<Frame>();
    frame->storage = *slot;
    guarded(s.failed, [&] {
        const cudaStream_t stream = s.queue.value;
        const int planes = velocity ? 3 : 1;
        Params p = s.params(0);
        p.planes = static_cast<std::uint32_t>(planes);
        kernels::prepareSnapshot(stream, s.omega.as<V2>(), s.snapshotWork.as<V2>(), p);
        s.baseFFT->transform(s.snapshotWork.ptr, planes, true);
        kernels::extractSnapshot(stream, s.snapshotWork.as<float>(), frame->data(), s.snapshotPartials.as<float4>(), p);
        const float4* partials = s.data->hostSnapshotPartials;
        cudaCheck(cudaMemcpyAsync(s.data->hostSnapshotPartials, s.snapshotPartials.ptr,
                                  sizeof(s.data->hostSnapshotPartials), cudaMemcpyDeviceToHost, stream),
                  "cudaMemcpyAsync(partials.data(),s.snapshotPartials.ptr,sizeof(partials),cudaMemcpyDeviceToHost,stream())");
        cudaCheck(cudaStreamSynchronize(stream), "cudaStreamSynchronize(stream())");
        // A launch that failed left the slot and the partials unwritten: no frame is made of them.
        cudaCheck(cudaGetLastError(), "cudaGetLastError()");
        double sum = 0.0, squares = 0.0;
        for (unsigned b = 0; b < reductionBlocks; ++b) {
            if (partials[b].z != 0.0f) throw std::runtime_error("Non-finite snapshot.");
            frame->max_vorticity = std::max(partials[b].x, frame->max_vorticity);
            frame->max_speed = std::max(partials[b].y, frame->max_speed);
            sum += partials[reductionBlocks + b].x;
            squares += partials[reductionBlocks + b].y;
        }
        const double points = static_cast<double>(s.n * s.n);
        const double mean = sum / points;
        const double variance = squares / points - mean * mean;
        if (!std::isfinite(mean) || !std::isfinite(variance)) throw std::runtime_error("Non-finite snapshot moments.");
        frame->mean_vorticity = static_cast<float>(mean);
        frame->std_vorticity = static_cast<float>(std::sqrt(variance >= 0.0 ? variance : 0.0));
        frame->grid_size = s.n;
        frame->steps = static_cast<std::int64_t>(s.stats.steps);
        frame->time = s.stats.simulationTime;
        frame->velocity = velocity;
    });
    return frame;
}

std::vector<float> Solver::readFrame(const Frame& f) {
    std::vector<float> values(static_cast<std::size_t>(3) * f.grid_size * f.grid_size);
    cudaCheck(cudaMemcpy(values.data(), f.data(), values.size() * 4, cudaMemcpyDeviceToHost),
              "cudaMemcpy(values.data(),f.data(),values.size()*4,cudaMemcpyDeviceToHost)");
    return values;
}

std::vector<Complex> Solver::spectrum() {
    Impl& s = *impl;
    if (s.failed) throw std::runtime_error(failedMessage);
    const int n = s.n;
    const int columns = s.columns;
    std::vector<Complex> half(static_cast<std::size_t>(n) * columns);
    const cudaStream_t stream = s.queue.value;
    cudaCheck(cudaMemcpyAsync(half.data(), s.omega.ptr, s.omega.bytes, cudaMemcpyDeviceToHost, stream),
              "cudaMemcpyAsync(half.data(),s.omega.ptr,s.omega.bytes,cudaMemcpyDeviceToHost,stream())");
    cudaCheck(cudaStreamSynchronize(stream), "cudaStreamSynchronize(stream())");
    const float scale = 1.0f / static_cast<float>(n * n);
    std::vector<Complex> full(static_cast<std::size_t>(n) * n);
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) {
            Complex& out = full[static_cast<std::size_t>(n) * r + c];
            if (c <= n / 2) {
                const Complex m = half[static_cast<std::size_t>(columns) * r + c];
                out = Complex{m.re * scale, m.im * scale};
            } else {
                const Complex m = half[static_cast<std::size_t>(columns) * ((n - r) % n) + (n - c)];
                out = Complex{m.re * scale, -m.im * scale};
            }
        }
    }
    return full;
}

}  // namespace mirel
