#pragma once

#include <cstdint>

#include "solver/cuda/platform.hpp"

// Index arithmetic of the spectral layouts, shared by kernels and host code. Wavenumbers are
// integers: the box is 2*pi on a side.
namespace mirel::layout {

// Modes per row of the half spectrum of an n-grid: kx = 0 .. n/2.
__host__ __device__ inline std::int32_t halfColumns(std::int32_t n) { return n / 2 + 1; }

// Complex elements per row of the padded m-grid planes: m/2 + 8 rounded down to a multiple of 8,
// always at least m/2 + 1.
__host__ __device__ inline std::int32_t paddedColumns(std::int32_t m) { return (m / 2 + 8) / 8 * 8; }

// ky of row y of an n-row spectrum: rows above n/2 hold the negative wavenumbers.
__host__ __device__ inline std::int32_t wavenumber(std::int32_t y, std::int32_t n) { return y > n / 2 ? y - n : y; }

// The row of an n-row spectrum that holds wavenumber ky.
__host__ __device__ inline std::int32_t row(std::int32_t ky, std::int32_t n) { return ky < 0 ? ky + n : ky; }

// Modes the native solver keeps: inside the N grid's Nyquist lines, without the mean.
__host__ __device__ inline bool active(std::int32_t kx, std::int32_t ky, std::int32_t h) {
    return kx < h && ky < h && ky > -h && (kx != 0 || ky != 0);
}

// k^2 from the exact integer sum.
__host__ __device__ inline float squaredWavenumber(std::int32_t kx, std::int32_t ky) {
    return static_cast<float>(kx * kx + ky * ky);
}

}  // namespace mirel::layout
