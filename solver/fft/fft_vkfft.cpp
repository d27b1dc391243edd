// mirel::FFT of the cuda build: VkFFT's CUDA backend, which compiles its kernels with NVRTC when a
// plan is built and launches them through the driver entries of cuda_driver.cpp.
#include "solver/fft/fft.hpp"

#include <cstdint>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>

#include "solver/cuda/cuda_check.hpp"
#include "solver/fft/fft_configuration.hpp"

namespace mirel {
namespace {

struct Plan {
    VkFFTApplication application;
    // VkFFT keeps the address of this size of the one buffer.
    std::uint64_t bufferBytes = 0;
    // Only an initialised application owns anything to delete.
    bool initialized = false;

    // initializeVkFFT refuses a record that is not zero in every byte, padding included.
    Plan() { std::memset(&application, 0, sizeof application); }
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;
    ~Plan() {
        if (initialized) deleteVkFFT(&application);
    }
};

// Device buffers by address, each with the largest size any record gives it, since axes share
// their tables.
using Buffers = std::map<const void*, std::uint64_t>;

void addBuffer(Buffers& buffers, const void* address, std::uint64_t bytes) {
    if (address == nullptr) return;
    std::uint64_t& size = buffers[address];
    if (bytes > size) size = bytes;
}

void addAxis(Buffers& buffers, const VkFFTAxis& axis) {
    addBuffer(buffers, axis.bufferLUT, axis.bufferLUTSize);
    addBuffer(buffers, axis.bufferRaderUintLUT, axis.bufferRaderUintLUTSize);
}

void addSubPlan(Buffers& buffers, const VkFFTPlan* plan, std::uint64_t dimensions) {
    if (plan == nullptr) return;
    for (std::uint64_t dimension = 0; dimension < dimensions; ++dimension)
        for (int upload = 0; upload < 4; ++upload) {
            addAxis(buffers, plan->axes[dimension][upload]);
            addAxis(buffers, plan->inverseBluesteinAxes[dimension][upload]);
        }
    addAxis(buffers, plan->R2Cdecomposition);
}

void addApplication(Buffers& buffers, const VkFFTApplication& application) {
    const VkFFTConfiguration& configuration = application.configuration;
    if (configuration.allocateTempBuffer && configuration.tempBuffer != nullptr &&
        configuration.tempBufferSize != nullptr)
        for (std::uint64_t i = 0; i < configuration.tempBufferNum; ++i)
            addBuffer(buffers, configuration.tempBuffer[i], configuration.tempBufferSize[i]);
    addSubPlan(buffers, application.localFFTPlan, configuration.FFTdim);
    addSubPlan(buffers, application.localFFTPlan_inverse, configuration.FFTdim);
    for (std::uint64_t dimension = 0; dimension < configuration.FFTdim; ++dimension) {
        for (int table = 0; table < 4; ++table)
            addBuffer(buffers, application.bufferRaderUintLUT[dimension][table],
                      application.bufferRaderUintLUTSize[dimension][table]);
        addBuffer(buffers, application.bufferBluestein[dimension], application.bufferBluesteinSize[dimension]);
    }
}

}  // namespace

// Heap-allocated once and never moved: every plan's VkFFT record holds the addresses of
// `device` and `stream`.
struct FFT::Impl {
    std::int32_t n;
    std::int32_t rowPitch;
    std::int32_t cutoff;
    bool realToComplex;
    CUdevice device;
    CUstream_st* stream;
    std::map<std::int32_t, std::unique_ptr<Plan>> plans;

    vkfft::Geometry geometry() const { return {n, realToComplex, rowPitch, cutoff}; }
    VkFFTApplication* plan(int batch);
    void clearBand(void* data, int batch);
};

VkFFTApplication* FFT::Impl::plan(int batch) {
    if (const auto cached = plans.find(batch); cached != plans.end()) return &cached->second->application;
    auto built = std::make_unique<Plan>();
    built->bufferBytes = planBufferBytes(n, rowPitch, batch);
    // Zeroed byte for byte, padding included, so that tests can check that no other field is set.
    VkFFTConfiguration configuration;
    std::memset(&configuration, 0, sizeof configuration);
    configuration.device = &device;
    configuration.stream = &stream;
    configuration.bufferSize = &built->bufferBytes;
    const VkFFTResult result = vkfft::buildPlan(built->application, configuration, geometry(), batch);
    if (result != VKFFT_SUCCESS)
        throw std::runtime_error("VkFFT CUDA plan N=" + std::to_string(n) + " batch=" + std::to_string(batch) +
                                 " failed: " + std::to_string(static_cast<int>(result)));
    built->initialized = true;
    // VkFFT uploads the plan's tables with cudaMemcpy from pageable memory on the legacy default
    // stream: the copies may still be in flight, and the non-blocking streams that run the
    // transforms do not wait for that stream.
    cudaCheck(cudaStreamSynchronize(cudaStreamLegacy), "cudaStreamSynchronize(cudaStreamLegacy)");
    return &plans.emplace(batch, std::move(built)).first->second->application;
}

// A plan without VkFFT's zero padding reads the band, which the step kernels leave as it was.
void FFT::Impl::clearBand(void* data, int batch) {
    auto* const elements = static_cast<unsigned char*>(data);
    constexpr std::size_t element = sizeof(float[2]);
    vkfft::forEachBandStrip(geometry(), batch, [&](const vkfft::BandStrip& strip) {
        cudaCheck(cudaMemset2DAsync(elements + strip.first * element, strip.pitch * element, 0,
                                    strip.columns * element, strip.rows, stream),
                  "cudaMemset2DAsync(band, pitch, 0, columns, rows, stream)");
    });
}

FFT::FFT(int n, bool realToComplex, int rowPitch, int cutoff, CUstream_st* stream)
    : impl(new Impl{n, rowPitch, cutoff, realToComplex, currentDriverDevice(), stream, {}}) {}

FFT::~FFT() = default;

void FFT::prepare(int batch) { impl->plan(batch); }

void FFT::transform(void* data, int batch, bool inverse) {
    VkFFTApplication* application = impl->plan(batch);
    if (inverse && vkfft::readsBand(*application)) impl->clearBand(data, batch);
    void* buffer = data;
    VkFFTLaunchParams launch{};
    launch.buffer = &buffer;
    const VkFFTResult result = VkFFTAppend(application, inverse ? 1 : -1, &launch);
    if (result != VKFFT_SUCCESS)
        throw std::runtime_error("VkFFT CUDA append failed: " + std::to_string(static_cast<int>(result)));
}

std::size_t FFT::allocatedBytes() const {
    Buffers buffers;
    for (const auto& [batch, plan] : impl->plans) addApplication(buffers, plan->application);
    std::size_t total = 0;
    for (const auto& [address, bytes] : buffers) total += bytes;
    return total;
}

std::size_t cachedPlanCount(const FFT& fft) { return fft.impl->plans.size(); }

const VkFFTApplication* CachedPlans::application(const FFT& fft, int batch) {
    const auto cached = fft.impl->plans.find(batch);
    return cached == fft.impl->plans.end() ? nullptr : &cached->second->application;
}

vkfft::Remedy CachedPlans::remedy(const FFT& fft, int batch) {
    const VkFFTApplication* cached = application(fft, batch);
    return cached == nullptr ? vkfft::Remedy::none : vkfft::remedy(*cached, fft.impl->geometry());
}

}  // namespace mirel
