#include "solver/cnab2/cnab2.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "solver/cnab2/kernels.hpp"
#include "solver/common/end_time.hpp"
#include "solver/common/two_pi.hpp"
#include "solver/common/viscosity.hpp"
#include "solver/cuda/cuda_check.hpp"
#include "solver/cuda/device_buffer.hpp"
#include "solver/cuda/reduction_shape.hpp"
#include "solver/cuda/stream.hpp"
#include "solver/fft/fft.hpp"

namespace mirel::legacy {
namespace {

// The large-eddy time 2 pi <1/k> / sqrt(2E) of a legacy vorticity spectrum.
double largeEddyTime(const std::vector<Complex>& omega, int n) {
    const int h = n / 2;
    double s1 = 0.0, s2 = 0.0;
    for (int r = 0; r < n; ++r) {
        const float ky = static_cast<float>(wave(r, n));
        for (int kx = 0; kx < h; ++kx) {
            const float k2 = static_cast<float>(kx * kx) + ky * ky;
            if (!(k2 > 0.0f)) continue;
            const Complex w = omega[static_cast<std::size_t>(r) * h + kx];
            float e = (w.re * w.re + w.im * w.im) / k2;
            if (kx >= 1 && kx <= h - 2) e = e + e;
            s1 += static_cast<double>(e);
            s2 += static_cast<double>(e * (1.0f / sqrtf(k2)));
        }
    }
    const double tau = ((s2 * twoPi) / s1) / std::sqrt(s1);
    if (!std::isfinite(tau)) throw std::runtime_error("CNAB2 nonfinite TAU_L.");
    return tau;
}

}  // namespace

struct Solver::Impl {
    explicit Impl(const Config& configuration);
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
    ~Impl() { cudaIgnore(cudaStreamSynchronize(stream.value)); }

    template <typename T>
    std::vector<T> download(const DeviceBuffer& buffer) const;
    double cflMaximum();
    // The first step size of a field whose velocity maximum is vmax.
    double firstStep(float vmax) const;
    // prepare, inverse transform and extract: the velocity of omega on the padded grid.
    void velocityFromOmega();
    void step();
    void updateStep();

    Config config;
    InitialField init;
    Stream stream;
    kernels::Parameters params;
    DeviceBuffer omega;
    DeviceBuffer history;
    DeviceBuffer work;
    DeviceBuffer physical;
    DeviceBuffer partials;
    FFT fft;
    Row row;
    double abRatio = 0.0;
    float pendingRatio = 0.0f;
};

namespace {

kernels::Parameters parameters(int n) {
    const int m = 3 * n / 2;
    return {n, m, 3 * n / 4 + 1, 0.0f, 0.0f, 0.0f, 1.0f / (static_cast<float>(m) * static_cast<float>(m)), 0.0f};
}

std::size_t spectrumBytes(int n) { return static_cast<std::size_t>(n) * (n / 2) * sizeof(Complex); }

// The call text of this solver's failed allocations.
constexpr const char* allocation = "cudaMalloc(&data,bytes)";

}  // namespace

Solver::Impl::Impl(const Config& configuration)
    : config(configuration),
      init(initialize(config)),
      params(parameters(config.N)),
      omega(spectrumBytes(config.N), allocation),
      history(spectrumBytes(config.N), allocation),
      work(static_cast<std::size_t>(params.m) * params.pitch * 24, allocation),
      physical(static_cast<std::size_t>(params.m) * params.m * 8, allocation),
      partials(reductionBlocks * sizeof(float), allocation),
      fft(params.m, true, params.pitch, 0, stream.value) {
    cudaCheck(cudaMemcpyAsync(omega.ptr, init.omega.data(), omega.bytes, cudaMemcpyHostToDevice, stream.value),
              "cudaMemcpyAsync(omega.data,init.omega.data(),omega.bytes,cudaMemcpyHostToDevice,stream.value)");
    cudaCheck(cudaMemsetAsync(history.ptr, 0, history.bytes, stream.value),
              "cudaMemsetAsync(history.data,0,history.bytes,stream.value)");
    const DeviceBuffer initial(init.velocity.size() * sizeof(Complex), allocation);
    cudaCheck(cudaMemcpyAsync(initial.ptr, init.velocity.data(), initial.bytes, cudaMemcpyHostToDevice, stream.value),
              "cudaMemcpyAsync(initial.data,init.velocity.data(),initial.bytes,cudaMemcpyHostToDevice,stream.value)");
    fft.prepare(3);
    fft.prepare(2);
    kernels::prepare(stream.value, initial.as<V2>(), work.as<V2>(), params, true);
    params.spacing = twoPiSingle / static_cast<float>(config.N);
    fft.transform(work.ptr, 2, true);
    kernels::extract(stream.value, work.as<float>(), physical.as<float>(), params);
    row.cflMaximum = cflMaximum();
    const float vmax = static_cast<float>(row.cflMaximum);
    row.dt = config.dt > 0.0f ? static_cast<double>(config.dt)
                              : static_cast<double>((static_cast<float>(config.CFL) / vmax) / 3.1415927f);
    row.tauL = largeEddyTime(download<Complex>(omega), config.N);
}

template <typename T>
std::vector<T> Solver::Impl::download(const DeviceBuffer& buffer) const {
    std::vector<T> values(buffer.bytes / sizeof(T));
    cudaCheck(cudaMemcpyAsync(values.data(), buffer.ptr, buffer.bytes, cudaMemcpyDeviceToHost, stream.value),
              "cudaMemcpyAsync(values.data(),buffer.data,buffer.bytes,cudaMemcpyDeviceToHost,stream.value)");
    cudaCheck(cudaStreamSynchronize(stream.value), "cudaStreamSynchronize(stream.value)");
    return values;
}

double Solver::Impl::cflMaximum() {
    kernels::maximum(stream.value, physical.as<float>(), partials.as<float>(), params);
    cudaCheck(cudaGetLastError(), "cudaGetLastError()");
    const std::vector<float> maxima = download<float>(partials);
    const float largest = *std::max_element(maxima.begin(), maxima.end());
    if (!(largest >= 0.0f) || !std::isfinite(largest)) throw std::runtime_error("CNAB2 nonfinite CFL maximum.");
    return largest;
}

void Solver::Impl::velocityFromOmega() {
    kernels::prepare(stream.value, omega.as<V2>(), work.as<V2>(), params, false);
    fft.transform(work.ptr, 2, true);
    kernels::extract(stream.value, work.as<float>(), physical.as<float>(), params);
}

void Solver::Impl::step() {
    kernels::products(stream.value, physical.as<float>(), work.as<float>(), params);
    fft.transform(work.ptr, 3, false);
    kernels::advance(stream.value, work.as<V2>(), omega.as<V2>(), history.as<V2>(), params);
    velocityFromOmega();
    cudaCheck(cudaGetLastError(), "cudaGetLastError()");
}

// A fifth of the way from the step to the CFL target CFL / (pi vmax) each update.
void Solver::Impl::updateStep() {
    const double vmax = cflMaximum();
    row.cflMaximum = vmax;
    if (config.dt > 0.0f) {
        row.dt = static_cast<double>(config.dt);
        row.ratio = 1.0;
        return;
    }
    const float d = static_cast<float>(row.dt);
    const float x = (static_cast<float>(vmax) * d) * 3.1415927f;
    if (x == 0.0f) {
        row.ratio = 1.0;
        return;
    }
    const float f = (static_cast<float>(config.CFL) / x) * 0.2f + 0.8f;
    row.dt = static_cast<double>(d * f);
    row.ratio = static_cast<double>(f);
}

Solver::Solver(const Config& config) : impl(std::make_unique<Impl>(config)) {}

Solver::~Solver() = default;

const InitialField& Solver::initial() const { return impl->init; }

Row Solver::initialRow() const { return impl->row; }

CUstream_st* Solver::stream() const { return impl->stream.value; }

void Solver::setReynolds(double reynolds) {
    if (!cnab2ViscosityValid(reynolds)) throw std::invalid_argument("CNAB2 Re must be finite and positive.");
    impl->config.Re = reynolds;
    impl->init.viscosity = 1.0f / static_cast<float>(reynolds);
}

void Solver::setCFL(float cfl) {
    if (!(cfl > 0.0f) || !std::isfinite(cfl)) throw std::invalid_argument("CNAB2 CFL must be finite and positive.");
    impl->config.CFL = static_cast<double>(cfl);
}

Row Solver::advanceTo(int endStep, std::optional<double> until, bool report, const Callback& callback) {
    Impl& s = *impl;
    for (std::int64_t n = static_cast<std::int64_t>(s.row.step) + 1; n <= endStep; ++n) {
        if (until && reached(s.row.time, *until)) break;
        if (s.pendingRatio > 0.0f) {
            s.abRatio = static_cast<double>(s.pendingRatio);
            s.pendingRatio = 0.0f;
        }
        const double full = s.row.dt;
        double dt = full;
        const bool final = until && full >= *until - s.row.time;
        if (final) {
            dt = static_cast<double>(static_cast<float>(*until - s.row.time));
            s.abRatio = static_cast<double>(static_cast<float>(s.abRatio) * static_cast<float>(dt / full));
        }
        if (!(dt > 0.0) || !std::isfinite(dt)) throw std::runtime_error("CNAB2 nonfinite or zero timestep.");
        s.row.startTime = s.row.time;
        const float step = static_cast<float>(dt);
        const float r = static_cast<float>(s.abRatio);
        s.params.cnFactor = step * (s.init.viscosity * 0.5f);
        s.params.abNow = (r + 2.0f) * (step * 0.5f);
        s.params.abPrev = -(step * 0.5f) * r;
        s.step();
        s.row.step = static_cast<std::int32_t>(n);
        s.abRatio = s.row.ratio;
        s.row.time = final ? *until : s.row.time + dt;
        if (n == 1 || n % s.config.update == 0 || (n == endStep && report)) {
            s.updateStep();
            if (report || callback) {
                s.row.tauL = largeEddyTime(s.download<Complex>(s.omega), s.config.N);
                if (callback) callback(s.row);
            }
        } else if (n % 128 == 0) {
            cudaCheck(cudaStreamSynchronize(s.stream.value), "cudaStreamSynchronize(s.stream.value)");
        }
        if (final) s.pendingRatio = static_cast<float>(s.row.dt / dt);
    }
    cudaCheck(cudaStreamSynchronize(s.stream.value), "cudaStreamSynchronize(s.stream.value)");
    return s.row;
}

Row Solver::advance(const Callback& callback) { return advanceTo(impl->config.steps, std::nullopt, true, callback); }

Row Solver::advanceSteps(int steps, std::optional<double> until) {
    const std::int32_t done = impl->row.step;
    if (steps < 0 || 2147483647 - done < steps || (until && (!std::isfinite(*until) || *until < 0.0)))
        throw std::invalid_argument("Invalid CNAB2 step count or endpoint.");
    return advanceTo(done + steps, until, false, Callback());
}

void Solver::copySpectrumTo(Complex* dst, int columns, float scale) const {
    Impl& s = *impl;
    kernels::copySpectrum(s.stream.value, s.omega.as<V2>(), reinterpret_cast<V2*>(dst), s.config.N, columns, scale,
                          false);
    cudaCheck(cudaGetLastError(), "cudaGetLastError()");
    cudaCheck(cudaStreamSynchronize(s.stream.value), "cudaStreamSynchronize(stream())");
}

void Solver::loadSpectrum(const Complex* src, int columns, float scale) {
    Impl& s = *impl;
    kernels::copySpectrum(s.stream.value, reinterpret_cast<const V2*>(src), s.omega.as<V2>(), s.config.N, columns,
                          scale, true);
    cudaCheck(cudaMemsetAsync(s.history.ptr, 0, s.history.bytes, s.stream.value),
              "cudaMemsetAsync(s.history.data,0,s.history.bytes,stream())");
    s.velocityFromOmega();
    s.row = Row{};
    s.abRatio = 0.0;
    s.pendingRatio = 0.0f;
    const double vmax = s.cflMaximum();
    s.row.cflMaximum = vmax;
    if (s.config.dt > 0.0f) {
        s.row.dt = static_cast<double>(s.config.dt);
    } else {
        float dt = static_cast<float>(s.config.CFL);
        if (vmax > 0.0) dt = dt / static_cast<float>(vmax);
        s.row.dt = static_cast<double>(dt / 3.1415927f);
    }
}

std::vector<float> Solver::velocity() const { return impl->download<float>(impl->physical); }

std::vector<Complex> Solver::spectrum() const { return impl->download<Complex>(impl->omega); }

std::vector<Complex> Solver::history() const { return impl->download<Complex>(impl->history); }

std::size_t Solver::fftBytes() const { return impl->fft.allocatedBytes(); }

std::size_t Solver::allocatedBytes() const {
    const Impl& s = *impl;
    return s.omega.bytes + s.history.bytes + s.work.bytes + s.physical.bytes + s.partials.bytes + fftBytes();
}

}  // namespace mirel::legacy
