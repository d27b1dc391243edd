// mirel::FFT of the emulator build: FFTW in single precision on the emulated device memory, which
// is host memory. The emulator completes stream work at issue time, so the transforms run
// before transform returns.
#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>

#include <fftw3.h>

#include "solver/fft/fft.hpp"
#include "solver/fft/fft_configuration.hpp"

namespace mirel {
namespace {

// FFTW's planner keeps process-wide state; only executing plans is thread-safe.
std::mutex& plannerMutex() {
    static std::mutex mutex;
    return mutex;
}

struct Plan {
    fftwf_plan forward = nullptr;
    fftwf_plan inverse = nullptr;

    Plan() = default;
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;
    ~Plan() {
        const std::lock_guard lock(plannerMutex());
        if (forward != nullptr) fftwf_destroy_plan(forward);
        if (inverse != nullptr) fftwf_destroy_plan(inverse);
    }
};

struct ScratchRelease {
    void operator()(fftwf_complex* scratch) const { fftwf_free(scratch); }
};

}  // namespace

struct FFT::Impl {
    std::int32_t n;
    std::int32_t rowPitch;
    std::int32_t cutoff;
    bool realToComplex;
    CUdevice device;
    CUstream_st* stream;
    std::map<std::int32_t, std::unique_ptr<Plan>> plans;

    const Plan& plan(int batch);
    void clearBand(fftwf_complex* data, int batch) const;
};

const Plan& FFT::Impl::plan(int batch) {
    if (const auto cached = plans.find(batch); cached != plans.end()) return *cached->second;
    // Plans execute on the callers' buffers through FFTW's new-array interface; planning with
    // FFTW_ESTIMATE never touches this buffer of the same layout.
    const std::unique_ptr<fftwf_complex, ScratchRelease> scratch(
        fftwf_alloc_complex(planBufferBytes(n, rowPitch, batch) / sizeof(fftwf_complex)));
    const int sizes[2] = {n, n};
    const int spectralRows[2] = {n, rowPitch};
    const int fieldElements = n * rowPitch;
    const unsigned flags = FFTW_ESTIMATE | FFTW_UNALIGNED;
    auto built = std::make_unique<Plan>();
    {
        const std::lock_guard lock(plannerMutex());
        if (realToComplex) {
            float* real = reinterpret_cast<float*>(scratch.get());
            const int realRows[2] = {n, 2 * rowPitch};
            built->forward = fftwf_plan_many_dft_r2c(2, sizes, batch, real, realRows, 1, 2 * fieldElements,
                                                     scratch.get(), spectralRows, 1, fieldElements, flags);
            built->inverse = fftwf_plan_many_dft_c2r(2, sizes, batch, scratch.get(), spectralRows, 1, fieldElements,
                                                     real, realRows, 1, 2 * fieldElements, flags);
        } else {
            const auto complexPlan = [&](int sign) {
                return fftwf_plan_many_dft(2, sizes, batch, scratch.get(), spectralRows, 1, fieldElements,
                                           scratch.get(), spectralRows, 1, fieldElements, sign, flags);
            };
            built->forward = complexPlan(FFTW_FORWARD);
            built->inverse = complexPlan(FFTW_BACKWARD);
        }
    }
    if (built->forward == nullptr || built->inverse == nullptr)
        throw std::runtime_error("FFTW plan N=" + std::to_string(n) + " batch=" + std::to_string(batch) + " failed");
    return *plans.emplace(batch, std::move(built)).first->second;
}

// The inverse is to read the band as zero; it overwrites the buffer anyway, so clearing the band
// in place costs the caller nothing.
void FFT::Impl::clearBand(fftwf_complex* data, int batch) const {
    vkfft::forEachBandStrip({n, realToComplex, rowPitch, cutoff}, batch, [&](const vkfft::BandStrip& strip) {
        for (std::uint64_t row = 0; row < strip.rows; ++row) {
            fftwf_complex* const first = data + strip.first + row * strip.pitch;
            std::fill(first[0], first[strip.columns], 0.0f);
        }
    });
}

FFT::FFT(int n, bool realToComplex, int rowPitch, int cutoff, CUstream_st* stream)
    : impl(new Impl{n, rowPitch, cutoff, realToComplex, currentDriverDevice(), stream, {}}) {}

FFT::~FFT() = default;

void FFT::prepare(int batch) { impl->plan(batch); }

// Work on the stream like the device's transform kernels, so that the emulator orders and checks
// it against the other streams' use of the buffer.
void FFT::transform(void* data, int batch, bool inverse) {
    const Plan& plan = impl->plan(batch);
    auto* const spectrum = static_cast<fftwf_complex*>(data);
    auto* const real = static_cast<float*>(data);
    emu::runOnStream(impl->stream, inverse ? "inverse FFT" : "forward FFT", {{data, emu::Access::write}}, [&] {
        if (inverse) impl->clearBand(spectrum, batch);
        if (!impl->realToComplex)
            fftwf_execute_dft(inverse ? plan.inverse : plan.forward, spectrum, spectrum);
        else if (inverse)
            fftwf_execute_dft_c2r(plan.inverse, spectrum, real);
        else
            fftwf_execute_dft_r2c(plan.forward, real, spectrum);
    });
}

// Emulated plans keep their tables in host memory that the emulator does not count as device
// memory.
std::size_t FFT::allocatedBytes() const { return 0; }

std::size_t cachedPlanCount(const FFT& fft) { return fft.impl->plans.size(); }

}  // namespace mirel
