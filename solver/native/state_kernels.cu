#include "solver/cuda/block_reduction.hpp"
#include "solver/cuda/device_math.hpp"
#include "solver/cuda/launch.hpp"
#include "solver/cuda/layout.hpp"
#include "solver/native/kernels.hpp"

namespace mirel::kernels {
namespace {

// One thread per half-spectrum mode; source rows hold N modes.
__global__ void projectStateKernel(const V2* source, V2* destination, Params p) {
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int y = static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
    const int n = static_cast<int>(p.resolution);
    if (x > n / 2 || y >= n) return;
    const bool keep = layout::active(x, layout::wavenumber(y, n), n / 2);
    destination[layout::halfColumns(n) * y + x] = keep ? source[n * y + x] : V2{0.0f, 0.0f};
}

// Grid-stride over the half spectrum; one block sums its threads' contributions.
__global__ void spectralStatisticsKernel(const V2* omega, float4* partials, Params p) {
    __shared__ float energies[reductionThreads];
    __shared__ float enstrophies[reductionThreads];
    __shared__ float palinstrophies[reductionThreads];
    __shared__ unsigned flags[reductionThreads];
    const unsigned t = threadIdx.x;
    const int n = static_cast<int>(p.resolution);
    const int columns = layout::halfColumns(n);
    const unsigned total = static_cast<unsigned>(columns * n);
    float energy = 0.0f, enstrophy = 0.0f, palinstrophy = 0.0f;
    unsigned invalid = 0;
    for (unsigned i = blockIdx.x * blockDim.x + t; i < total; i += p.blocks * reductionThreads) {
        const float re = p.scale * omega[i].x;
        const float im = p.scale * omega[i].y;
        if (!finite(re) || !finite(im)) invalid = 1;
        const int row = static_cast<int>(i) / columns;
        const int kx = static_cast<int>(i) - row * columns;
        const int ky = layout::wavenumber(row, n);
        const float weight = (kx == 0 || kx == n / 2) ? 1.0f : 2.0f;
        const float k2 = layout::squaredWavenumber(kx, ky);
        const float e = (((re * re) + (im * im)) * 0.5f) * weight;
        enstrophy = enstrophy + e;
        palinstrophy = palinstrophy + e * k2;
        if (k2 != 0.0f) energy = energy + e / k2;
    }
    energies[t] = energy;
    enstrophies[t] = enstrophy;
    palinstrophies[t] = palinstrophy;
    flags[t] = invalid;
    foldBlock([](unsigned into, unsigned from) {
        energies[into] = energies[from] + energies[into];
        enstrophies[into] = enstrophies[from] + enstrophies[into];
        palinstrophies[into] = palinstrophies[from] + palinstrophies[into];
        flags[into] = flags[into] | flags[from];
    });
    if (t == 0) partials[blockIdx.x] = make_float4(energies[0], enstrophies[0], static_cast<float>(flags[0]), palinstrophies[0]);
}

}  // namespace

void projectState(cudaStream_t stream, const V2* source, V2* destination, const Params& params) {
    const unsigned n = params.resolution;
    launch(projectStateKernel, tiles(n / 2 + 1, n), tile, stream, source, destination, params);
}

void spectralStatistics(cudaStream_t stream, const V2* omega, float4* partials, const Params& params) {
    launch(spectralStatisticsKernel, dim3(params.blocks), dim3(reductionThreads), stream, omega, partials, params);
}

}  // namespace mirel::kernels
