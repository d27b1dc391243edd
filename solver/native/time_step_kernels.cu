#include "mirel/solver.hpp"
#include "solver/cuda/block_reduction.hpp"
#include "solver/cuda/device_math.hpp"
#include "solver/cuda/grid_walk.hpp"
#include "solver/cuda/launch.hpp"
#include "solver/cuda/layout.hpp"
#include "solver/native/clock_math.hpp"
#include "solver/native/kernels.hpp"
#include "solver/native/padded_velocity.hpp"

namespace mirel::kernels {
namespace {

// The padded real planes: rows of 2 * paddedColumns floats, planes of M such rows.
struct RealPlanes {
    unsigned rowStride;
    unsigned planeStride;
};

__host__ __device__ inline RealPlanes realPlanes(unsigned m) {
    const unsigned rowStride = 2u * static_cast<unsigned>(layout::paddedColumns(static_cast<int>(m)));
    return {rowStride, rowStride * m};
}

// The padded planes' values at one point, as the inverse transform left them.
struct PointValues {
    float u, v, wx, wy;
};

__device__ inline PointValues loadPoint(const float* planes, unsigned index, RealPlanes layout, unsigned form) {
    PointValues values{planes[index], planes[index + layout.planeStride], 0.0f, 0.0f};
    if (form != stress) {
        values.wx = planes[index + 2 * layout.planeStride];
        values.wy = planes[index + 3 * layout.planeStride];
    }
    return values;
}

// The nonlinear products at one padded point, in place: u^2 - v^2 and uv ("stress") or
// -u.grad(omega) ("advective"). Returns |u| + |v|; valid tells whether every input was finite.
__device__ inline float storeProducts(float* planes, unsigned index, RealPlanes layout, const Params& p,
                                      PointValues values, bool& valid) {
    const float u = p.scale * values.u;
    const float v = p.scale * values.v;
    valid = finite(u) && finite(v);
    if (p.form == stress) {
        planes[index] = (u * u) - (v * v);
        planes[index + layout.planeStride] = u * v;
    } else {
        const float wx = p.scale * values.wx;
        const float wy = p.scale * values.wy;
        valid = valid && finite(wx) && finite(wy);
        planes[index] = -((u * wx) + (v * wy));
    }
    return fabsf(u) + fabsf(v);
}

// Points of its walk that a thread of reduceCFLAndProducts loads before it stores any of their
// products, so that the loads are in flight together.
constexpr unsigned pointsInFlight = 4;

// One thread per half-spectrum mode (kx, ky) with kx < N/2, |ky| < N/2: the padded modes that
// the inverse transform reads.
__global__ void velocityToPaddedKernel(const V2* spectrum, V2* padded, Params p) {
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int y = static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
    const int n = static_cast<int>(p.resolution);
    const int h = n / 2;
    const int ky = layout::wavenumber(y, n);
    if (x >= h || y >= n || ky == h) return;
    storeVelocity(padded, x, ky, spectrum[layout::halfColumns(n) * y + x], p);
}

// Grid-stride over the M x M points; one block reduces its threads' maxima and flags.
__global__ void reduceCFLAndProductsKernel(float* planes, V2* partials, Params p) {
    __shared__ float maxima[reductionThreads];
    __shared__ unsigned flags[reductionThreads];
    const unsigned t = threadIdx.x;
    const unsigned m = p.paddedResolution;
    const RealPlanes layout = realPlanes(m);
    float maximum = 0.0f;
    unsigned invalid = 0;
    GridWalk walk = gridWalk(blockIdx.x * reductionThreads + t, p.blocks * reductionThreads, m);
    while (walk.inside()) {
        unsigned index[pointsInFlight];
        bool present[pointsInFlight];
        for (unsigned k = 0; k < pointsInFlight; ++k) {
            present[k] = walk.inside();
            index[k] = walk.row * layout.rowStride + walk.column;
            walk.next();
        }
        PointValues values[pointsInFlight];
        for (unsigned k = 0; k < pointsInFlight; ++k)
            if (present[k]) values[k] = loadPoint(planes, index[k], layout, p.form);
        // Maxima and flags do not depend on the order in which the points are met.
        for (unsigned k = 0; k < pointsInFlight; ++k) {
            if (!present[k]) continue;
            bool valid = true;
            maximum = fmaxf(maximum, storeProducts(planes, index[k], layout, p, values[k], valid));
            if (!valid) invalid = 1;
        }
    }
    maxima[t] = maximum;
    flags[t] = invalid;
    foldBlock([](unsigned into, unsigned from) {
        maxima[into] = fmaxf(maxima[into], maxima[from]);
        flags[into] = flags[into] | flags[from];
    });
    if (t == 0) partials[blockIdx.x] = V2{maxima[0], static_cast<float>(flags[0])};
}

// One thread per padded point.
__global__ void nonlinearProductsKernel(float* planes, Params p) {
    const unsigned x = blockIdx.x * blockDim.x + threadIdx.x;
    const unsigned y = blockIdx.y * blockDim.y + threadIdx.y;
    const unsigned m = p.paddedResolution;
    if (x >= m || y >= m) return;
    const RealPlanes layout = realPlanes(m);
    const unsigned index = y * layout.rowStride + x;
    bool valid = true;
    storeProducts(planes, index, layout, p, loadPoint(planes, index, layout, p.form), valid);
}

// One thread: the step size, its status, and the end-time clipping.
__global__ void selectTimeStepKernel(const V2* partials, ClockState* clock, Params p) {
    bool bad = clock->valid == 0;
    float maxSpeed = 0.0f;
    for (unsigned b = 0; b < p.blocks; ++b) {
        if (partials[b].x > maxSpeed) maxSpeed = partials[b].x;
        if (partials[b].y != 0.0f) bad = true;
    }
    clock->maxSpeed = maxSpeed;
    clock->status = 0;
    if (bad) {
        atomicExch(&clock->valid, 0u);
        return;
    }
    const float left = clock::remaining(p.targetHi, p.targetLo, clock->timeHi, clock->timeLo);
    if (p.hasTarget != 0 && left <= 0.0f) return;
    float dt = clock::proposedStep(p.fixedDt, p.cfl, maxSpeed, clock->dtMemory, p.resolution);
    if (!(dt > 0.0f) || !finite(dt)) {
        atomicExch(&clock->valid, 0u);
        return;
    }
    clock->dtMemory = dt;
    clock->status = (p.hasTarget != 0 && dt >= left) ? 2u : 1u;
    if (p.hasTarget != 0 && left < dt) dt = left;
    clock->dt = dt;
}

// One thread: the time pair absorbs the step, or lands on the end time.
__global__ void commitStepKernel(ClockState* clock, Params p) {
    if (clock->status == 0 || clock->valid == 0) return;
    if (clock->status == 2) {
        clock->timeHi = p.targetHi;
        clock->timeLo = p.targetLo;
    } else {
        clock::absorb(clock->timeHi, clock->timeLo, clock->dt);
    }
    clock->steps = clock->steps + 1;
}

}  // namespace

void velocityToPadded(cudaStream_t stream, const V2* spectrum, V2* padded, const Params& params) {
    const unsigned n = params.resolution;
    launch(velocityToPaddedKernel, tiles(n / 2, n), tile, stream, spectrum, padded, params);
}

void reduceCFLAndProducts(cudaStream_t stream, float* padded, V2* partials, const Params& params) {
    launch(reduceCFLAndProductsKernel, dim3(params.blocks), dim3(reductionThreads), stream, padded, partials, params);
}

void nonlinearProducts(cudaStream_t stream, float* padded, const Params& params) {
    const unsigned m = params.paddedResolution;
    launch(nonlinearProductsKernel, tiles(m, m), tile, stream, padded, params);
}

void selectTimeStep(cudaStream_t stream, const V2* partials, ClockState* clock, const Params& params) {
    launch(selectTimeStepKernel, dim3(1), dim3(1), stream, partials, clock, params);
}

void commitStep(cudaStream_t stream, ClockState* clock, const Params& params) {
    launch(commitStepKernel, dim3(1), dim3(1), stream, clock, params);
}

}  // namespace mirel::kernels
