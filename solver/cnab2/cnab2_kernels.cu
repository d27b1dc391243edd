#include "solver/cnab2/kernels.hpp"
#include "solver/cnab2/pao.hpp"
#include "solver/cuda/block_reduction.hpp"
#include "solver/cuda/device_math.hpp"
#include "solver/cuda/launch.hpp"

namespace mirel::legacy::kernels {
namespace {

__host__ __device__ inline V2 scaled(float s, V2 a) { return V2{s * a.x, s * a.y}; }

// One padded mode of planes 0 and 1; only kx < N/2 and the |ky| <= N/2 rows carry data.
__global__ void prepareKernel(const V2* src, V2* dst, Parameters p, bool copyPair) {
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int y = static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
    if (x >= p.pitch || y >= p.m) return;
    const int n = p.n;
    const int h = n / 2;
    const int row = y <= h ? y : y - h;
    const bool read = x < h && (y < h || y >= n || (x == 0 && y == h));
    V2 u{0.0f, 0.0f};
    V2 v{0.0f, 0.0f};
    if (read) {
        const int index = row * h + x;
        if (copyPair) {
            u = src[index];
            v = src[n * h + index];
        } else {
            const V2 w = src[index];
            const float ky = static_cast<float>(wave(row, n));
            const float kx = static_cast<float>(x);
            if (x == 0) {
                const float g = ky == 0.0f ? 0.0f : 1.0f / ky;
                u = V2{w.y * g, -w.x * g};
            } else {
                const float inverse = 1.0f / ((kx * kx + ky * ky) + 1.0e-30f);
                const V2 psi{w.x * inverse, w.y * inverse};
                u = V2{ky * psi.y, -(ky * psi.x)};
                v = V2{-(kx * psi.y), kx * psi.x};
            }
        }
        // The column-0 Nyquist mode is split between ky = -N/2 and its conjugate at +N/2.
        if (x == 0 && (y == h || y == n)) {
            u = scaled(0.5f, u);
            v = scaled(0.5f, v);
            if (y == h) {
                u.y = -u.y;
                v.y = -v.y;
            }
        }
    }
    const int out = y * p.pitch + x;
    dst[out] = u;
    dst[p.m * p.pitch + out] = v;
}

// One grid point.
__global__ void productsKernel(const float* src, float* dst, Parameters p) {
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int y = static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
    if (x >= p.m || y >= p.m) return;
    const float u = src[p.m * y + x];
    const float v = src[p.m * p.m + p.m * y + x];
    const int out = y * 2 * p.pitch + x;
    const int plane = 2 * p.m * p.pitch;
    dst[out] = u * u;
    dst[out + plane] = v * v;
    dst[out + 2 * plane] = u * v;
}

// One legacy mode; the Nyquist row sees no nonlinear term.
__global__ void advanceKernel(const V2* products, V2* omega, V2* history, Parameters p) {
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int y = static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
    const int n = p.n;
    const int h = n / 2;
    if (x >= h || y >= n) return;
    const float kx = static_cast<float>(x);
    const float ky = static_cast<float>(wave(y, n));
    V2 term{0.0f, 0.0f};
    if (y != h) {
        const int padded = y < h ? y : y + h;
        const int j = padded * p.pitch + x;
        const int plane = p.m * p.pitch;
        const V2 uu = products[j];
        const V2 vv = products[j + plane];
        const V2 uv = products[j + 2 * plane];
        const float cross = kx * ky;
        const float difference = ky * ky - kx * kx;
        term = V2{p.productScale * (cross * (uu.x - vv.x) + difference * uv.x),
                  p.productScale * (cross * (uu.y - vv.y) + difference * uv.y)};
    }
    const int i = y * h + x;
    const float c = p.cnFactor * (kx * kx + ky * ky);
    const V2 w = omega[i];
    const V2 previous = history[i];
    omega[i] = V2{(((1.0f - c) * w.x + p.abNow * term.x) + p.abPrev * previous.x) / (c + 1.0f),
                  (((1.0f - c) * w.y + p.abNow * term.y) + p.abPrev * previous.y) / (c + 1.0f)};
    history[i] = term;
}

// One grid point.
__global__ void extractKernel(const float* src, float* dst, Parameters p) {
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int y = static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
    if (x >= p.m || y >= p.m) return;
    const int in = y * 2 * p.pitch + x;
    dst[p.m * y + x] = src[in];
    dst[p.m * p.m + p.m * y + x] = src[in + 2 * p.m * p.pitch];
}

// Grid-stride over the M x M points; one block folds its threads' maxima.
__global__ void maximumKernel(const float* src, float* partials, Parameters p) {
    __shared__ float maxima[reductionThreads];
    const unsigned t = threadIdx.x;
    const std::uint64_t points = static_cast<std::uint64_t>(p.m) * static_cast<std::uint64_t>(p.m);
    const float infinity = INFINITY;
    float running = 0.0f;
    for (std::uint64_t i = reductionThreads * blockIdx.x + t; i < points; i += reductionBlocks * reductionThreads) {
        const float u = fabsf(src[i]);
        const float v = fabsf(src[points + i]);
        const float value = u < infinity && v < infinity ? u / p.spacing + v / p.spacing : infinity;
        if (value > running) running = value;
    }
    maxima[t] = running;
    foldBlock([](unsigned into, unsigned from) {
        if (maxima[from] > maxima[into]) maxima[into] = maxima[from];
    });
    if (t == 0) partials[blockIdx.x] = maxima[0];
}

// One mode of the external layout.
__global__ void copySpectrumKernel(const V2* src, V2* dst, int n, int columns, float scale, bool toLegacy) {
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int y = static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
    if (x >= columns || y >= n) return;
    const int h = n / 2;
    if (toLegacy) {
        if (x < h) dst[y * h + x] = scaled(scale, src[y * columns + x]);
    } else {
        dst[y * columns + x] = x < h ? scaled(scale, src[y * h + x]) : V2{0.0f, 0.0f};
    }
}

}  // namespace

void prepare(cudaStream_t stream, const V2* src, V2* dst, const Parameters& p, bool copyPair) {
    launch(prepareKernel, tiles(p.pitch, p.m), tile, stream, src, dst, p, copyPair);
}

void products(cudaStream_t stream, const float* src, float* dst, const Parameters& p) {
    launch(productsKernel, tiles(p.m, p.m), tile, stream, src, dst, p);
}

void advance(cudaStream_t stream, const V2* products, V2* omega, V2* history, const Parameters& p) {
    launch(advanceKernel, tiles(p.n / 2, p.n), tile, stream, products, omega, history, p);
}

void extract(cudaStream_t stream, const float* src, float* dst, const Parameters& p) {
    launch(extractKernel, tiles(p.m, p.m), tile, stream, src, dst, p);
}

void maximum(cudaStream_t stream, const float* src, float* partials, const Parameters& p) {
    launch(maximumKernel, dim3(reductionBlocks), dim3(reductionThreads), stream, src, partials, p);
}

void copySpectrum(cudaStream_t stream, const V2* src, V2* dst, int n, int columns, float scale, bool toLegacy) {
    launch(copySpectrumKernel, tiles(columns, n), tile, stream, src, dst, n, columns, scale, toLegacy);
}

}  // namespace mirel::legacy::kernels
