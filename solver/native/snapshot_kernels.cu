#include "mirel/solver.hpp"
#include "solver/cuda/block_reduction.hpp"
#include "solver/cuda/device_math.hpp"
#include "solver/cuda/launch.hpp"
#include "solver/cuda/layout.hpp"
#include "solver/native/kernels.hpp"

namespace mirel::kernels {
namespace {

// ky of snapshot row y: the CNAB2 layout holds its Nyquist row as ky = -N/2.
__host__ __device__ inline int snapshotWavenumber(int y, int n, unsigned method) {
    return method == CNAB2 && y == n / 2 ? -y : layout::wavenumber(y, n);
}

// One thread per half-spectrum mode: omega, and for three planes u = i ky omega / k^2 and
// v = -i kx omega / k^2.
__global__ void prepareSnapshotKernel(const V2* omega, V2* work, Params p) {
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int y = static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
    const int n = static_cast<int>(p.resolution);
    const int h = n / 2;
    if (x > h || y >= n) return;
    const unsigned i = static_cast<unsigned>(layout::halfColumns(n) * y + x);
    const unsigned plane = static_cast<unsigned>(layout::halfColumns(n) * n);
    const bool cnabNyquist = p.method == CNAB2 && x == 0 && y == h;
    const V2 w = omega[i];
    work[i] = cnabNyquist ? V2{w.x, 0.0f} : w;
    if (p.planes != 3) return;
    const int ky = snapshotWavenumber(y, n, p.method);
    const float k2 = layout::squaredWavenumber(x, ky);
    V2 u{0.0f, 0.0f};
    V2 v{0.0f, 0.0f};
    if (k2 != 0.0f) {
        const float a = static_cast<float>(ky) / k2;
        const float b = static_cast<float>(-x) / k2;
        u = V2{a * -w.y, a * w.x};
        v = V2{b * -w.y, b * w.x};
    }
    if (cnabNyquist) {
        u.y = 0.0f;
        v.y = 0.0f;
    }
    work[i + plane] = u;
    work[i + 2 * plane] = v;
}

// Grid-stride over the N x N points; one block reduces max |omega|, max speed, the sums of omega
// and omega^2, and the invalid flag.
__global__ void extractSnapshotKernel(const float* work, float* frame, float4* partials, Params p) {
    __shared__ float maxima[reductionThreads];
    __shared__ float speeds[reductionThreads];
    __shared__ float sums[reductionThreads];
    __shared__ float squares[reductionThreads];
    __shared__ unsigned flags[reductionThreads];
    const unsigned t = threadIdx.x;
    const unsigned n = p.resolution;
    const unsigned points = n * n;
    const unsigned rowStride = (n + 2) & ~1u;
    const unsigned planeStride = rowStride * n;
    float maximum = 0.0f, speed = 0.0f, sum = 0.0f, square = 0.0f;
    unsigned invalid = 0;
    for (unsigned i = blockIdx.x * reductionThreads + t; i < points; i += p.blocks * reductionThreads) {
        const unsigned y = i / n;
        const unsigned j = y * rowStride + (i - y * n);
        const float w = p.scale * work[j];
        frame[i] = w;
        bool valid = finite(w);
        if (p.planes == 3) {
            const float u = p.scale * work[j + planeStride];
            const float v = p.scale * work[j + 2 * planeStride];
            frame[points + i] = u;
            frame[2 * points + i] = v;
            speed = fmaxf(speed, sqrtf(u * u + v * v));
            valid = valid && finite(u) && finite(v);
        } else {
            frame[points + i] = 0.0f;
            frame[2 * points + i] = 0.0f;
        }
        if (!valid) invalid = 1;
        maximum = fmaxf(maximum, fabsf(w));
        sum = sum + w;
        square = square + w * w;
    }
    maxima[t] = maximum;
    speeds[t] = speed;
    sums[t] = sum;
    squares[t] = square;
    flags[t] = invalid;
    foldBlock([](unsigned into, unsigned from) {
        maxima[into] = fmaxf(maxima[into], maxima[from]);
        speeds[into] = fmaxf(speeds[into], speeds[from]);
        sums[into] = sums[into] + sums[from];
        squares[into] = squares[into] + squares[from];
        flags[into] = flags[into] | flags[from];
    });
    if (t == 0) {
        partials[blockIdx.x] = make_float4(maxima[0], speeds[0], static_cast<float>(flags[0]), 0.0f);
        partials[p.blocks + blockIdx.x] = make_float4(sums[0], squares[0], 0.0f, 0.0f);
    }
}

}  // namespace

void prepareSnapshot(cudaStream_t stream, const V2* omega, V2* work, const Params& params) {
    const unsigned n = params.resolution;
    launch(prepareSnapshotKernel, tiles(n / 2 + 1, n), tile, stream, omega, work, params);
}

void extractSnapshot(cudaStream_t stream, const float* work, float* frame, float4* partials, const Params& params) {
    launch(extractSnapshotKernel, dim3(params.blocks), dim3(reductionThreads), stream, work, frame, partials, params);
}

}  // namespace mirel::kernels
