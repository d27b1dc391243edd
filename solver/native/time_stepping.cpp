#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "solver/common/end_time.hpp"
#include "solver/cuda/cuda_check.hpp"
#include "solver/native/integrator_math.hpp"
#include "solver/native/kernels.hpp"
#include "solver/native/solver_failure.hpp"
#include "solver/native/solver_state.hpp"

namespace mirel {
namespace {

constexpr int batchSteps = 256;

bool validEndTime(double until) {
    return std::isfinite(until) && until >= 0.0 && std::isfinite(static_cast<float>(until));
}

}  // namespace

// Each stage transforms the velocity that the stage before left in the padded planes: the
// previous step's last advanceStage, or the pass at the end of reset.
void Solver::Impl::step(std::optional<double> until) {
    const unsigned stages = integrator::stageCount(config.method);
    const int inverseBatch = config.form == stress ? 2 : 4;
    const int forwardBatch = config.form == stress ? 2 : 1;
    const cudaStream_t stream = queue.value;
    const Params base = params(0, until);
    for (unsigned stage = 0; stage < stages; ++stage) {
        const Params p = params(stage, until);
        paddedFFT->transform(padded.ptr, inverseBatch, true);
        if (stage == 0) {
            kernels::reduceCFLAndProducts(stream, padded.as<float>(), cflPartials.as<V2>(), base);
            kernels::selectTimeStep(stream, cflPartials.as<V2>(), clock.as<ClockState>(), base);
        } else {
            kernels::nonlinearProducts(stream, padded.as<float>(), p);
        }
        paddedFFT->transform(padded.ptr, forwardBatch, false);
        kernels::advanceStage(stream, omega.as<V2>(), padded.as<V2>(), stepStart.as<V2>(), first.as<V2>(),
                              second.as<V2>(), predictor.as<V2>(), coefficients.as<float>(), clock.as<ClockState>(),
                              correction.as<V2>(), p);
    }
    kernels::commitStep(stream, clock.as<ClockState>(), base);
}

void Solver::Impl::readClock() {
    cudaCheck(cudaGetLastError(), "cudaGetLastError()");
    if (cnab) {
        cudaCheck(cudaStreamSynchronize(queue.value), "cudaStreamSynchronize(queue.value)");
        const legacy::Row row = cnab->initialRow();
        stats.reynolds = reynolds;
        stats.steps = static_cast<std::uint64_t>(row.step);
        stats.simulationTime = row.time;
        stats.dt = static_cast<float>(row.dt);
        return;
    }
    ClockState& hostClock = data->hostClock;
    cudaCheck(cudaMemcpyAsync(&hostClock, clock.ptr, sizeof(hostClock), cudaMemcpyDeviceToHost, queue.value),
              "cudaMemcpyAsync(&hostClock,clock.ptr,sizeof(hostClock),cudaMemcpyDeviceToHost,queue.value)");
    cudaCheck(cudaStreamSynchronize(queue.value), "cudaStreamSynchronize(queue.value)");
    if (hostClock.valid == 0) throw std::runtime_error("The solver encountered a non-finite field or timestep.");
    stats.reynolds = reynolds;
    stats.steps = hostClock.steps;
    stats.simulationTime = static_cast<double>(hostClock.timeHi) + static_cast<double>(hostClock.timeLo);
    stats.dt = hostClock.dt;
    if (!std::isfinite(stats.simulationTime) || !std::isfinite(stats.dt)) throw std::runtime_error("Non-finite clock.");
}

void Solver::Impl::advanceCNAB2(int steps, std::optional<double> until) {
    const cudaStream_t stream = cnab->stream();
    cudaCheck(cudaEventRecord(events.begin, stream), "cudaEventRecord(s.events.begin,s.cnab->stream())");
    cnab->advanceSteps(steps, until);
    cudaCheck(cudaEventRecord(events.end, stream), "cudaEventRecord(s.events.end,s.cnab->stream())");
    cnab->copySpectrumTo(omega.as<Complex>(), columns, -static_cast<float>(n * n));
    float ms = 0.0f;
    cudaCheck(cudaEventElapsedTime(&ms, events.begin, events.end), "cudaEventElapsedTime(&ms,s.events.begin,s.events.end)");
    stats.gpuMilliseconds = ms;
    readClock();
}

Statistics Solver::advance(int steps, std::optional<double> until) {
    if (steps < 0 || (until && !validEndTime(*until))) throw std::invalid_argument("Invalid steps or endpoint.");
    Impl& s = *impl;
    if (s.failed) throw std::runtime_error(failedMessage);
    if (steps == 0 || (until && reached(s.stats.simulationTime, *until))) return statistics();
    guarded(s.failed, [&] {
        if (s.cnab) {
            s.advanceCNAB2(steps, until);
            return;
        }
        const cudaStream_t queue = s.queue.value;
        int remaining = steps;
        float total = 0.0f;
        do {
            const int batch = std::min(remaining, batchSteps);
            cudaCheck(cudaEventRecord(s.events.begin, queue), "cudaEventRecord(s.events.begin,stream())");
            for (int i = 0; i < batch; ++i) s.step(until);
            cudaCheck(cudaEventRecord(s.events.end, queue), "cudaEventRecord(s.events.end,stream())");
            s.readClock();
            float ms = 0.0f;
            cudaCheck(cudaEventElapsedTime(&ms, s.events.begin, s.events.end),
                      "cudaEventElapsedTime(&ms,s.events.begin,s.events.end)");
            total = total + ms;
            remaining -= batch;
            if (until && reached(s.stats.simulationTime, *until)) break;
        } while (remaining > 0);
        s.stats.gpuMilliseconds = total;
    });
    return statistics();
}

}  // namespace mirel
