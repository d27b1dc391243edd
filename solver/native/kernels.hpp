#pragma once

#include "solver/cuda/kernel_records.hpp"
#include "solver/cuda/platform.hpp"

// The native solver's kernels, each enqueued with its fixed launch shape on the given stream.
// Launches are not checked one by one: a failed launch surfaces at the next synchronisation.
namespace mirel::kernels {

// Spectral u and v (and, for the advective form, the vorticity gradient) on the padded grid, in
// the modes outside the inverse transform's zero band.
void velocityToPadded(cudaStream_t stream, const V2* spectrum, V2* padded, const Params& params);
// The first stage's products, with the per-block maximum of |u| + |v| and an invalid flag.
void reduceCFLAndProducts(cudaStream_t stream, float* padded, V2* partials, const Params& params);
// The products of the later stages.
void nonlinearProducts(cudaStream_t stream, float* padded, const Params& params);
// The step size and the step status, from the speed partials.
void selectTimeStep(cudaStream_t stream, const V2* partials, ClockState* clock, const Params& params);
// One integrator stage on every mode of the half spectrum; it leaves the velocity of the new
// state in the padded planes, as velocityToPadded would.
void advanceStage(cudaStream_t stream, V2* omega, V2* padded, V2* stepStart, V2* first, V2* second,
                  V2* predictor, float* coefficients, ClockState* clock, V2* correction, const Params& params);
// Advances the clock by the step just taken.
void commitStep(cudaStream_t stream, ClockState* clock, const Params& params);
// The half spectrum of a full N x N spectrum, without the mean and the Nyquist lines.
void projectState(cudaStream_t stream, const V2* source, V2* destination, const Params& params);
// Per-block sums of energy, enstrophy and palinstrophy, with an invalid flag.
void spectralStatistics(cudaStream_t stream, const V2* omega, float4* partials, const Params& params);

// The spectral vorticity, and with three planes the spectral velocity, for the snapshot's
// inverse transform.
void prepareSnapshot(cudaStream_t stream, const V2* omega, V2* work, const Params& params);
// Physical planes into a frame slot, with per-block maxima, sums and an invalid flag.
void extractSnapshot(cudaStream_t stream, const float* work, float* frame, float4* partials, const Params& params);

}  // namespace mirel::kernels
