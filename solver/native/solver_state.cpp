#include "solver/native/solver_state.hpp"

#include "solver/cuda/cuda_check.hpp"
#include "solver/cuda/layout.hpp"

namespace mirel {
namespace {

constexpr std::uint64_t placeholder = 8;

// Bytes of the per-mode coefficient planes: six for etdrk4, three for ifHeunRK3.
std::uint64_t coefficientBytes(std::uint32_t method, std::uint64_t modes) {
    const std::uint64_t planes = method == etdrk4 ? 6 : method == ifHeunRK3 ? 3
                                                                            : 0;
    const std::uint64_t bytes = 4 * modes * planes;
    return bytes < 4 ? 4 : bytes;
}

}  // namespace

EventPair::EventPair() {
    cudaCheck(cudaEventCreate(&begin), "cudaEventCreate(&begin)");
    try {
        cudaCheck(cudaEventCreate(&end), "cudaEventCreate(&end)");
    } catch (...) {
        cudaIgnore(cudaEventDestroy(begin));
        throw;
    }
}

EventPair::~EventPair() {
    cudaIgnore(cudaEventDestroy(begin));
    cudaIgnore(cudaEventDestroy(end));
}

void PinnedFree::operator()(Data* pinned) const noexcept { cudaIgnore(cudaFreeHost(pinned)); }

DeviceBuffer Solver::Impl::account(std::uint64_t bytes) {
    stats.allocatedBytes += bytes;
    return DeviceBuffer(bytes);
}

Solver::Impl::Impl(const Config& configuration) : config(configuration) {
    Data* pinned = nullptr;
    cudaCheck(cudaMallocHost(reinterpret_cast<void**>(&pinned), sizeof(Data)),
              "cudaMallocHost(reinterpret_cast<void**>(&data),sizeof(Data))");
    data.reset(pinned);

    reynolds = config.reynolds;
    cfl = config.cfl;
    n = config.resolution;
    m = 3 * n / 2;
    columns = layout::halfColumns(n);
    paddedColumns = layout::paddedColumns(m);

    const std::uint64_t modes = static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(columns);
    const std::uint64_t spectrum = 8 * modes;
    const bool cnab2 = config.method == CNAB2;
    const bool stepCopy = config.method == ifHeunRK3 || config.method == etdrk4;
    const bool etd = config.method == etdrk4;
    const std::uint64_t paddedPlanes = config.form == stress ? 2 : 4;
    const std::uint64_t frameBytes = Frame::bytes(n);

    stats.allocatedBytes = spectrum;
    omega = DeviceBuffer(spectrum);
    correction = account(cnab2 ? placeholder : spectrum);
    first = account(cnab2 ? placeholder : spectrum);
    padded = account(cnab2 ? placeholder
                           : 8 * static_cast<std::uint64_t>(m) * static_cast<std::uint64_t>(paddedColumns) *
                                 paddedPlanes);
    stepStart = account(stepCopy ? spectrum : placeholder);
    second = account(etd ? spectrum : placeholder);
    predictor = account(etd ? spectrum : placeholder);
    coefficients = account(coefficientBytes(config.method, modes));
    clock = account(sizeof(ClockState));
    cflPartials = account(reductionBlocks * sizeof(V2));
    statPartials = account(reductionBlocks * sizeof(float4));
    snapshotWork = account(3 * spectrum);
    snapshotPartials = account(2 * reductionBlocks * sizeof(float4));
    for (std::shared_ptr<void>& slot : frames) {
        stats.allocatedBytes += frameBytes;
        slot = std::shared_ptr<void>(deviceAllocate(frameBytes), [](void* ptr) { cudaIgnore(cudaFree(ptr)); });
    }

    if (!cnab2) paddedFFT = std::make_unique<FFT>(m, true, paddedColumns, n / 2, queue.value);
    baseFFT = std::make_unique<FFT>(n, true, columns, 0, queue.value);
    if (paddedFFT) {
        if (config.form == stress) {
            paddedFFT->prepare(2);
        } else {
            paddedFFT->prepare(4);
            paddedFFT->prepare(1);
        }
    }
    baseFFT->prepare(1);
    baseFFT->prepare(3);
}

Solver::Impl::~Impl() { cudaIgnore(cudaStreamSynchronize(queue.value)); }

Params Solver::Impl::params(std::uint32_t stage, std::optional<double> until) const {
    Params p{};
    p.resolution = static_cast<std::uint32_t>(n);
    p.paddedResolution = static_cast<std::uint32_t>(m);
    p.method = config.method;
    p.stage = stage;
    p.viscosity = static_cast<float>(1.0 / reynolds);
    p.cfl = cfl;
    p.fixedDt = config.fixedDt;
    p.scale = 1.0f / static_cast<float>(n * n);
    if (until) {
        p.targetHi = static_cast<float>(*until);
        p.targetLo = static_cast<float>(*until - static_cast<double>(p.targetHi));
        p.hasTarget = 1;
    }
    p.blocks = reductionBlocks;
    p.form = config.form;
    return p;
}

}  // namespace mirel
