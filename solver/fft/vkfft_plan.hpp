#pragma once

// The FFT layer's rule for VkFFT plans, written once for every VkFFT backend: the cuda build's
// mirel::FFT builds its plans with it, and the OpenCL suite runs the same plans on the CPU. The
// includer defines VKFFT_BACKEND and includes its platform's headers first.
//
// VkFFT 1.3.4 honours its frequency zero padding only on some of the paths it chooses. On the
// "big even sequence" real path (a long even real axis split into a complex one of half the
// length) the transforms come out wrong, band or no band, unless the real axis is built as a
// callback transform. Bluestein's algorithm, which VkFFT uses for lengths with a large prime
// factor, reads and writes outside its buffers with zero padding once an axis takes several
// passes through memory. So a plan that would take one of those paths is built another way: with
// callback real transforms, or without zero padding, in which case its caller clears the band
// before each inverse transform. The OpenCL suite shows every other path right with zero padding,
// and every path right without a band.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>

// GCC's flow analysis reports variables of VkFFT's code generator as maybe uninitialised. The
// warnings concern VkFFT's code, not ours, and would reach everyone who builds the library.
// Clang has no such warning and would warn of the unknown name instead.
#pragma GCC diagnostic push
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <vkFFT.h>
#pragma GCC diagnostic pop

namespace mirel::vkfft {

// The geometry of a mirel::FFT: n x n transforms, rows rowPitch complex elements apart, the zero
// band from `cutoff` on both axes when cutoff != 0.
struct Geometry {
    int n;
    bool realToComplex;
    int rowPitch;
    int cutoff;
};

// Twiddles that the kernels compute in single precision lose accuracy on large real transforms;
// from this size VkFFT reads them from a table it precomputes instead.
constexpr int lookupTableSize = 768;

// The paths VkFFT chose for a plan, as far as its zero padding depends on them.
struct Path {
    // Passes through memory that each axis takes.
    std::uint64_t uploads[2];
    // The real axis transformed as a complex one of half its length.
    bool bigEvenRealAxis;
    // Some pass of some axis uses Rader's algorithm for a prime factor of its length.
    bool rader;
    // Some axis is transformed by Bluestein's algorithm.
    bool bluestein;
};

// How a plan was built differently from the FFT layer's plain configuration.
enum class Remedy {
    none,
    // The big even real path ignores the zero band: the real axis is a callback transform.
    callbackRealTransforms,
    // Bluestein's kernels in several passes fail with zero padding: the plan has none, and its
    // caller clears the band before each inverse transform.
    bandClearedByCaller,
};

// Fills every field of the plan's record that the backend's fields leave: in place, rows
// rowPitch complex elements apart, the zero band from `cutoff` on both axes when cutoff != 0;
// every other field stays as it arrives.
inline void configure(VkFFTConfiguration& configuration, Geometry geometry, int batch) {
    const auto n = static_cast<std::uint64_t>(geometry.n);
    configuration.FFTdim = 2;
    configuration.size[0] = n;
    configuration.size[1] = n;
#if VKFFT_BACKEND == 1 || VKFFT_BACKEND == 2
    // Only the backends with streams have the field.
    configuration.num_streams = 1;
#endif
    configuration.numberBatches = static_cast<std::uint64_t>(batch);
    configuration.performR2C = geometry.realToComplex ? 1 : 0;
    if (geometry.realToComplex && geometry.n >= lookupTableSize) configuration.useLUT = 1;
    configuration.bufferStride[0] = static_cast<std::uint64_t>(geometry.rowPitch);
    configuration.bufferStride[1] = static_cast<std::uint64_t>(geometry.rowPitch) * n;
    if (geometry.cutoff != 0) {
        for (int axis = 0; axis < 2; ++axis) {
            configuration.performZeropadding[axis] = 1;
            configuration.fft_zeropad_left[axis] = static_cast<std::uint64_t>(geometry.cutoff);
            // The band ends before this index.
            configuration.fft_zeropad_right[axis] = n - static_cast<std::uint64_t>(geometry.cutoff) + 1;
        }
        configuration.frequencyZeroPadding = 1;
    }
}

namespace detail {

inline void addPlanPath(Path& path, const VkFFTApplication& application, const VkFFTPlan* plan) {
    if (plan == nullptr) return;
    path.bigEvenRealAxis = path.bigEvenRealAxis || plan->bigSequenceEvenR2C != 0;
    for (int axis = 0; axis < 2; ++axis) {
        if (plan->numAxisUploads[axis] > path.uploads[axis]) path.uploads[axis] = plan->numAxisUploads[axis];
        path.bluestein = path.bluestein || application.useBluesteinFFT[axis] != 0;
        for (std::uint64_t upload = 0; upload < plan->numAxisUploads[axis] && upload < 4; ++upload)
            path.rader = path.rader || plan->axes[axis][upload].specializationConstants.useRader != 0;
    }
}

inline void clearZeroPadding(VkFFTConfiguration& configuration) {
    for (int axis = 0; axis < 2; ++axis) {
        configuration.performZeropadding[axis] = 0;
        configuration.fft_zeropad_left[axis] = 0;
        configuration.fft_zeropad_right[axis] = 0;
    }
    configuration.frequencyZeroPadding = 0;
}

}  // namespace detail

// The paths of a built plan, forward and inverse together.
inline Path path(const VkFFTApplication& application) {
    Path path{{0, 0}, false, false, false};
    detail::addPlanPath(path, application, application.localFFTPlan);
    detail::addPlanPath(path, application, application.localFFTPlan_inverse);
    return path;
}

// Whether VkFFT's zero padding is right on these paths.
inline bool honoursBand(const Path& path) {
    const bool severalPasses = path.uploads[0] > 1 || path.uploads[1] > 1;
    return !path.bigEvenRealAxis && !(path.bluestein && severalPasses);
}

// Whether an inverse transform with this plan reads the zero band, so that its caller must
// clear the band first.
inline bool readsBand(const VkFFTApplication& application) {
    return application.configuration.performZeropadding[0] == 0 || application.configuration.performZeropadding[1] == 0;
}

// How the plan of this geometry was built, read off its record.
inline Remedy remedy(const VkFFTApplication& application, Geometry geometry) {
    if (geometry.cutoff == 0) return Remedy::none;
    if (readsBand(application)) return Remedy::bandClearedByCaller;
    if (application.configuration.forceCallbackVersionRealTransforms != 0) return Remedy::callbackRealTransforms;
    return Remedy::none;
}

// A rectangle of the zero band: `rows` runs of `columns` complex elements, the first starting at
// complex index `first`, each `pitch` elements after the one before.
struct BandStrip {
    std::uint64_t first;
    std::uint64_t pitch;
    std::uint64_t columns;
    std::uint64_t rows;
};

// Calls `clear` with strips that cover the zero band of `batch` fields exactly once or more: the
// band's columns in every row of every field, then the band's rows of each field.
template <class Clear>
void forEachBandStrip(Geometry geometry, int batch, Clear&& clear) {
    if (geometry.cutoff == 0) return;
    const auto n = static_cast<std::uint64_t>(geometry.n);
    const auto c = static_cast<std::uint64_t>(geometry.cutoff);
    const auto pitch = static_cast<std::uint64_t>(geometry.rowPitch);
    const std::uint64_t columns = geometry.realToComplex ? n / 2 + 1 : n;
    const std::uint64_t lastBandColumn = geometry.realToComplex ? n / 2 : n - c;
    clear(BandStrip{c, pitch, lastBandColumn - c + 1, n * static_cast<std::uint64_t>(batch)});
    for (std::uint64_t field = 0; field < static_cast<std::uint64_t>(batch); ++field)
        clear(BandStrip{field * n * pitch + c * pitch, pitch, columns, n - 2 * c + 1});
}

namespace detail {

// VkFFT's plan of `configuration` as far as the choice of its passes, in the order in which
// initializeVkFFT makes it, without generating or compiling a kernel.
inline VkFFTResult schedule(VkFFTApplication& application, const VkFFTConfiguration& configuration) {
    if (const VkFFTResult result = setConfigurationVkFFT(&application, configuration); result != VKFFT_SUCCESS)
        return result;
    for (VkFFTPlan** plan : {&application.localFFTPlan_inverse, &application.localFFTPlan}) {
        *plan = static_cast<VkFFTPlan*>(std::calloc(1, sizeof(VkFFTPlan)));
        if (*plan == nullptr) {
            deleteVkFFT(&application);
            return VKFFT_ERROR_MALLOC_FAILED;
        }
        for (std::uint64_t axis = 0; axis < application.configuration.FFTdim; ++axis) {
            const VkFFTResult result = VkFFTScheduler(&application, *plan, static_cast<int>(axis));
            if (result != VKFFT_SUCCESS) {
                deleteVkFFT(&application);
                return result;
            }
        }
    }
    return VKFFT_SUCCESS;
}

// Changes a configured record until the plan that VkFFT's scheduler chooses for it honours the
// zero band, or has none.
inline VkFFTResult settle(VkFFTConfiguration& configuration, Geometry geometry) {
    if (geometry.cutoff == 0) return VKFFT_SUCCESS;
    const auto trial = std::make_unique<VkFFTApplication>();
    for (;;) {
        if (configuration.performZeropadding[0] == 0) return VKFFT_SUCCESS;
        std::memset(trial.get(), 0, sizeof *trial);
        if (const VkFFTResult result = schedule(*trial, configuration); result != VKFFT_SUCCESS) return result;
        const Path chosen = path(*trial);
        deleteVkFFT(trial.get());
        if (honoursBand(chosen)) return VKFFT_SUCCESS;
        if (chosen.bluestein || configuration.forceCallbackVersionRealTransforms != 0)
            clearZeroPadding(configuration);
        else
            configuration.forceCallbackVersionRealTransforms = 1;
    }
}

}  // namespace detail

// `configuration` arrives with the backend's device, stream or queue, context, buffer and
// bufferSize fields set (and, in tests, sharedMemorySize); everything else zero. Fills the rest
// as the FFT layer specifies and builds the plan into `application`, built another way where
// VkFFT's plan would not honour the zero band: VkFFT's scheduler decides that before any kernel
// is generated, so each plan is compiled once. `application` arrives zero in every byte; after
// a failure it is zero again and owns nothing.
inline VkFFTResult buildPlan(VkFFTApplication& application, VkFFTConfiguration configuration, Geometry geometry,
                             int batch) {
    configure(configuration, geometry, batch);
    VkFFTResult result = detail::settle(configuration, geometry);
    if (result == VKFFT_SUCCESS) result = initializeVkFFT(&application, configuration);
    // VkFFT frees what it made when it fails, but leaves the record dirty.
    if (result != VKFFT_SUCCESS) std::memset(&application, 0, sizeof application);
    return result;
}

// The record that buildPlan would build, with its passes chosen the same way but no kernel
// generated or compiled: path() and remedy() read it, deleteVkFFT releases it. Cheap enough to
// survey every length for every card.
inline VkFFTResult schedulePlan(VkFFTApplication& application, VkFFTConfiguration configuration, Geometry geometry,
                                int batch) {
    configure(configuration, geometry, batch);
    VkFFTResult result = detail::settle(configuration, geometry);
    if (result == VKFFT_SUCCESS) result = detail::schedule(application, configuration);
    if (result != VKFFT_SUCCESS) std::memset(&application, 0, sizeof application);
    return result;
}

}  // namespace mirel::vkfft
