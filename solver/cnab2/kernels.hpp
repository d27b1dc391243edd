#pragma once

#include <cstdint>

#include "solver/cuda/kernel_records.hpp"
#include "solver/cuda/platform.hpp"

// The CNAB2 solver's kernels, each enqueued with its fixed launch shape on the given stream.
namespace mirel::legacy::kernels {

struct Parameters {
    std::int32_t n;
    std::int32_t m;      // 3N/2
    std::int32_t pitch;  // complex elements per padded row: 3N/4 + 1
    float cnFactor;      // dt * (nu / 2)
    float abNow;         // dt * (1 + r/2)
    float abPrev;        // -dt * r/2
    float productScale;  // 1 / M^2
    float spacing;       // 2 pi / N
};

// The legacy half spectrum into padded planes 0 and 1: the two planes of src as they are
// (copyPair), or the velocity of the vorticity in src.
void prepare(cudaStream_t stream, const V2* src, V2* dst, const Parameters& p, bool copyPair);
// u^2, v^2 and uv on the padded grid, into the real rows of three transform planes.
void products(cudaStream_t stream, const float* src, float* dst, const Parameters& p);
// The Crank-Nicolson / Adams-Bashforth update of every stored mode.
void advance(cudaStream_t stream, const V2* products, V2* omega, V2* history, const Parameters& p);
// u and v from the transform planes onto the M x M grid.
void extract(cudaStream_t stream, const float* src, float* dst, const Parameters& p);
// Per-block maxima of (|u| + |v|) / spacing; non-finite velocity counts as infinite.
void maximum(cudaStream_t stream, const float* src, float* partials, const Parameters& p);
// Between the legacy half spectrum (N/2 columns) and an external one of columns columns.
void copySpectrum(cudaStream_t stream, const V2* src, V2* dst, int n, int columns, float scale, bool toLegacy);

}  // namespace mirel::legacy::kernels
