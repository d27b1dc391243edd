#pragma once

#include <cstddef>
#include <memory>

struct CUstream_st;

namespace mirel {

// The one 2-D FFT of the system: square n x n single-precision transforms, in place, on batches
// of consecutive fields, enqueued on one stream.
//
// Complex element (batch b, row y, column x) lies at complex index b·n·rowPitch + y·rowPitch + x,
// a complex being (float re, float im). With realToComplex, real row y holds its n floats at the
// start of its 2·rowPitch floats and the spectral row holds columns 0..n/2; rowPitch is at least
// n/2 + 1 then, and at least n otherwise.
//
// Forward applies e^(−2πi·jk/n) on both axes (real-to-complex along rows), inverse e^(+2πi·jk/n)
// without normalisation, so forward then inverse scales by n². With cutoff c ≠ 0 the frequency
// indices c..n−c of both axes (c..n/2 on the real-to-complex row axis) form a zero band: an
// inverse transform reads every element whose row or column lies in the band as zero, and a
// forward one leaves unspecified values there.
class FFT {
public:
    // Selects the runtime's current device; builds no plan.
    FFT(int n, bool realToComplex, int rowPitch, int cutoff, CUstream_st* stream);
    // Does not synchronise the stream: callers finish their transforms first.
    ~FFT();
    FFT(const FFT&) = delete;
    FFT& operator=(const FFT&) = delete;

    // Builds the plan for `batch` fields unless it is cached, so that later transforms of that
    // batch allocate nothing.
    void prepare(int batch);
    // Enqueues the transform of `batch` fields of device buffer `data` and returns.
    void transform(void* data, int batch, bool inverse);
    // Device memory the cached plans hold besides the callers' buffers.
    std::size_t allocatedBytes() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;

    // Lets tests see when a plan is built.
    friend std::size_t cachedPlanCount(const FFT& fft);
    // Lets tests of the cuda build read the library's record of each cached plan.
    friend struct CachedPlans;
};

}  // namespace mirel
