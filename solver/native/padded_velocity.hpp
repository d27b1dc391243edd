#pragma once

#include "mirel/solver.hpp"
#include "solver/cuda/kernel_records.hpp"
#include "solver/cuda/layout.hpp"

// What the inverse padded transform of a stage reads: the spectral velocity (and, for the
// advective form, the vorticity gradient) of the modes kx < N/2, |ky| < N/2. The transform reads
// every other padded mode as zero, so nothing is written there.
namespace mirel::kernels {

// The element of mode (kx, ky) in each padded plane: row ky, or ky + M below zero.
__host__ __device__ inline unsigned paddedIndex(int kx, int ky, int m) {
    return static_cast<unsigned>(layout::paddedColumns(m) * layout::row(ky, m) + kx);
}

// The padded planes of mode (kx, ky) from its vorticity w: u = (ky / k^2) iw, v = (-kx / k^2) iw,
// and for the advective form kx iw and ky iw. The mean mode has no velocity.
__device__ inline void storeVelocity(V2* padded, int kx, int ky, V2 w, const Params& p) {
    const int m = static_cast<int>(p.paddedResolution);
    const unsigned planeStride = static_cast<unsigned>(m * layout::paddedColumns(m));
    const unsigned out = paddedIndex(kx, ky, m);
    if (kx == 0 && ky == 0) {
        const unsigned planes = p.form == stress ? 2u : 4u;
        for (unsigned plane = 0; plane < planes; ++plane) padded[out + plane * planeStride] = V2{0.0f, 0.0f};
        return;
    }
    const V2 iw{-w.y, w.x};
    const float k2 = layout::squaredWavenumber(kx, ky);
    const float a = static_cast<float>(ky) / k2;
    const float b = static_cast<float>(-kx) / k2;
    padded[out] = V2{a * iw.x, a * iw.y};
    padded[out + planeStride] = V2{b * iw.x, b * iw.y};
    if (p.form != stress) {
        const float fx = static_cast<float>(kx);
        const float fy = static_cast<float>(ky);
        padded[out + 2 * planeStride] = V2{fx * iw.x, fx * iw.y};
        padded[out + 3 * planeStride] = V2{fy * iw.x, fy * iw.y};
    }
}

}  // namespace mirel::kernels
