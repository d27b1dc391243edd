#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "mirel/solver.hpp"
#include "solver/cnab2/cnab2.hpp"
#include "solver/cuda/device_buffer.hpp"
#include "solver/cuda/kernel_records.hpp"
#include "solver/cuda/platform.hpp"
#include "solver/cuda/reduction_shape.hpp"
#include "solver/cuda/stream.hpp"
#include "solver/fft/fft.hpp"

namespace mirel {

// The events that bracket a batch of steps.
struct EventPair {
    cudaEvent_t begin = nullptr;
    cudaEvent_t end = nullptr;
    EventPair();
    EventPair(const EventPair&) = delete;
    EventPair& operator=(const EventPair&) = delete;
    ~EventPair();
};

// Pinned landing places of the asynchronous read-backs.
struct Data {
    ClockState hostClock;
    float4 hostStatPartials[reductionBlocks];
    float4 hostSnapshotPartials[2 * reductionBlocks];  // the maxima and flags, then the sums
};

struct PinnedFree {
    void operator()(Data* data) const noexcept;
};

struct Solver::Impl {
    explicit Impl(const Config& configuration);
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
    ~Impl();

    // The kernels' parameters for one launch; until sets the end-time target.
    Params params(std::uint32_t stage, std::optional<double> until = std::nullopt) const;
    // Enqueues one whole time step of a native integrator.
    void step(std::optional<double> until);
    // Waits for the stream and refreshes the statistics mirror from the device clock, or from
    // the CNAB2 solver's progress.
    void readClock();
    // One advance of the CNAB2 solver, whose spectrum then lands in omega.
    void advanceCNAB2(int steps, std::optional<double> until);

    Config config;
    Stream queue;
    EventPair events;
    std::unique_ptr<FFT> paddedFFT;
    std::unique_ptr<FFT> baseFFT;
    std::unique_ptr<FFT> complexFFT;
    std::unique_ptr<legacy::Solver> cnab;
    DeviceBuffer omega;
    DeviceBuffer correction;
    DeviceBuffer padded;
    DeviceBuffer stepStart;
    DeviceBuffer first;
    DeviceBuffer second;
    DeviceBuffer predictor;
    DeviceBuffer coefficients;
    DeviceBuffer clock;
    DeviceBuffer cflPartials;
    DeviceBuffer statPartials;
    DeviceBuffer snapshotWork;
    DeviceBuffer snapshotPartials;
    std::array<std::shared_ptr<void>, 3> frames;
    std::unique_ptr<Data, PinnedFree> data;
    Statistics stats;
    double reynolds = 0.0;
    float cfl = 0.0f;
    std::int32_t n = 0;
    std::int32_t m = 0;
    std::int32_t columns = 0;
    std::int32_t paddedColumns = 0;
    bool failed = false;

private:
    DeviceBuffer account(std::uint64_t bytes);
};

}  // namespace mirel
