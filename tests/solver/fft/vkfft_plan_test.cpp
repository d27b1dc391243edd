// The cuda build's mirel::FFT over the stand-in driver: every plan the solvers build is generated
// by VkFFT and compiled by NVRTC for the stand-in's compute capability 9.0 device, whose driver
// loads the images and counts launches without running them. What the kernels compute only a GPU
// shows (fft_test); what the plans are made of shows here.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <ostream>
#include <quellmar_emulator/control.hpp>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "solver/cuda/cuda_check.hpp"
#include "solver/cuda/cuda_loader.hpp"
#include "solver/fft/fft.hpp"
#include "solver/fft/fft_configuration.hpp"

namespace {

using mirel::vkfft::Geometry;
using mirel::vkfft::Remedy;

// One mirel::FFT of a solver and the batch counts it prepares, in its order.
struct SolverFFT {
    std::string name;
    Geometry geometry;
    std::vector<int> batches;
};

void PrintTo(const SolverFFT& fft, std::ostream* out) { *out << fft.name; }

// The padded grid of resolution N: M = 3N/2 with rows of M/2 + 1 complex elements rounded up to
// eight, and the zero band from N/2.
Geometry padded(int n) {
    const int m = 3 * n / 2;
    return {m, true, (m / 2 + 8) / 8 * 8, n / 2};
}

// The FFTs the solvers own at resolution N: the padded grid M = 3N/2 with its zero band from N/2
// (two fields for the stress form, four and one for the advective form), the base grid, the
// complex grid of an initial field, and the grid of the CNAB2 solver, which takes powers of two.
// N = 34 has the prime factor 17, which VkFFT transforms with Rader's algorithm.
std::vector<SolverFFT> solverFFTs() {
    std::vector<SolverFFT> ffts;
    for (const int n : {16, 18, 34, 48, 256, 1024, 2048}) {
        const std::string resolution = "N" + std::to_string(n) + "_";
        const int m = 3 * n / 2;
        ffts.push_back({resolution + "padded_stress", padded(n), {2}});
        ffts.push_back({resolution + "padded_advective", padded(n), {4, 1}});
        ffts.push_back({resolution + "base", {n, true, n / 2 + 1, 0}, {1, 3}});
        ffts.push_back({resolution + "complex", {n, false, n, 0}, {1}});
        if ((n & (n - 1)) == 0) ffts.push_back({resolution + "cnab2", {m, true, 3 * n / 4 + 1, 0}, {3, 2}});
    }
    return ffts;
}

std::uint64_t fieldBytes(const Geometry& g, int batch) {
    return std::uint64_t{8} * static_cast<std::uint64_t>(g.n) * static_cast<std::uint64_t>(g.rowPitch) *
           static_cast<std::uint64_t>(batch);
}

unsigned long long driverLaunches() {
    void* driver = dlopen("libcuda.so.1", RTLD_NOW | RTLD_NOLOAD);
    if (driver == nullptr) throw std::runtime_error("the stand-in driver is not loaded");
    auto* count = reinterpret_cast<unsigned long long (*)()>(dlsym(driver, "qmEmulatorDriverLaunchCount"));
    dlclose(driver);
    if (count == nullptr) throw std::runtime_error("libcuda.so.1 is not the emulator's stand-in");
    return count();
}

struct DeviceFree {
    void operator()(void* pointer) const { cudaFree(pointer); }
};

std::unique_ptr<void, DeviceFree> deviceBuffer(std::uint64_t bytes) {
    void* pointer = nullptr;
    cudaCheck(cudaMalloc(&pointer, bytes), "cudaMalloc(&pointer, bytes)");
    return std::unique_ptr<void, DeviceFree>(pointer);
}

class VkFFTPlans : public ::testing::Test {
protected:
    static void SetUpTestSuite() { mirel::initializeCudaLoader(); }
    void SetUp() override { cudaCheck(cudaStreamCreate(&stream), "cudaStreamCreate(&stream)"); }
    void TearDown() override { cudaCheck(cudaStreamDestroy(stream), "cudaStreamDestroy(stream)"); }

    cudaStream_t stream = nullptr;
};

// The record of a plan as VkFFT keeps it: the geometry as given, and the library's own choices
// wherever the record leaves a field zero; a plan built another way differs only as its remedy
// says.
void expectKeptRecord(const VkFFTApplication& application, const Geometry& g, int batch, cudaStream_t stream,
                      Remedy remedy = Remedy::none) {
    const VkFFTConfiguration& kept = application.configuration;
    const std::uint64_t n = g.n;
    EXPECT_EQ(kept.FFTdim, 2u);
    EXPECT_EQ(kept.size[0], n);
    EXPECT_EQ(kept.size[1], n);
    ASSERT_NE(kept.device, nullptr);
    EXPECT_EQ(*kept.device, mirel::currentDriverDevice());
    ASSERT_NE(kept.stream, nullptr);
    EXPECT_EQ(*kept.stream, stream);
    EXPECT_EQ(kept.num_streams, 1u);
    ASSERT_NE(kept.bufferSize, nullptr);
    EXPECT_EQ(*kept.bufferSize, fieldBytes(g, batch));
    EXPECT_EQ(kept.bufferNum, 1u);
    EXPECT_EQ(kept.numberBatches, static_cast<std::uint64_t>(batch));
    EXPECT_EQ(kept.coordinateFeatures, 1u);
    EXPECT_EQ(kept.performR2C, g.realToComplex ? 1u : 0u);
    // Forced on from 768 points of a real transform, otherwise off as the library's default.
    EXPECT_EQ(kept.useLUT, g.realToComplex && g.n >= 768 ? 1 : -1);
    EXPECT_EQ(kept.bufferStride[0], static_cast<std::uint64_t>(g.rowPitch));
    EXPECT_EQ(kept.bufferStride[1], static_cast<std::uint64_t>(g.rowPitch) * n);
    const bool band = g.cutoff != 0 && remedy != Remedy::bandClearedByCaller;
    EXPECT_EQ(kept.forceCallbackVersionRealTransforms, remedy == Remedy::callbackRealTransforms ? 1u : 0u);
    for (int axis = 0; axis < 2; ++axis) {
        SCOPED_TRACE("axis " + std::to_string(axis));
        EXPECT_EQ(kept.performZeropadding[axis], band ? 1u : 0u);
        EXPECT_EQ(kept.fft_zeropad_left[axis], band ? static_cast<std::uint64_t>(g.cutoff) : 0u);
        EXPECT_EQ(kept.fft_zeropad_right[axis], band ? n - g.cutoff + 1 : 0u);
    }
    EXPECT_EQ(kept.frequencyZeroPadding, band ? 1u : 0u);

    // Single precision, in place, both directions, no normalisation, no temporary buffer of ours.
    EXPECT_EQ(kept.doublePrecision, 0u);
    EXPECT_EQ(kept.halfPrecision, 0u);
    EXPECT_EQ(kept.isInputFormatted, 0u);
    EXPECT_EQ(kept.isOutputFormatted, 0u);
    EXPECT_EQ(kept.normalize, 0u);
    EXPECT_EQ(kept.userTempBuffer, 0u);
    EXPECT_EQ(kept.performConvolution, 0u);
    EXPECT_NE(application.localFFTPlan, nullptr);
    EXPECT_NE(application.localFFTPlan_inverse, nullptr);
}

// The backend's fields of a plan record, as mirel::FFT hands them over; `sharedMemory` stands for
// the card, 0 for the stand-in's own.
struct BackendFields {
    CUdevice device = mirel::currentDriverDevice();
    CUstream stream = nullptr;
    std::uint64_t bufferBytes = 0;

    VkFFTConfiguration record(const Geometry& g, int batch, std::uint64_t sharedMemory = 0) {
        bufferBytes = fieldBytes(g, batch);
        VkFFTConfiguration configuration;
        std::memset(&configuration, 0, sizeof configuration);
        configuration.device = &device;
        configuration.stream = &stream;
        configuration.bufferSize = &bufferBytes;
        configuration.sharedMemorySize = sharedMemory;
        return configuration;
    }
};

// A plan record that VkFFT's scheduler chose without generating kernels.
class ScheduledPlan {
public:
    ScheduledPlan(BackendFields& fields, const Geometry& g, int batch, std::uint64_t sharedMemory = 0) {
        std::memset(&application, 0, sizeof application);
        result = mirel::vkfft::schedulePlan(application, fields.record(g, batch, sharedMemory), g, batch);
    }
    ~ScheduledPlan() {
        if (result == VKFFT_SUCCESS) deleteVkFFT(&application);
    }
    ScheduledPlan(const ScheduledPlan&) = delete;
    ScheduledPlan& operator=(const ScheduledPlan&) = delete;

    VkFFTApplication application;
    VkFFTResult result;
};

bool samePath(const mirel::vkfft::Path& a, const mirel::vkfft::Path& b) {
    return a.uploads[0] == b.uploads[0] && a.uploads[1] == b.uploads[1] && a.bigEvenRealAxis == b.bigEvenRealAxis &&
           a.rader == b.rader && a.bluestein == b.bluestein;
}

std::string describe(const mirel::vkfft::Path& path) {
    return "passes " + std::to_string(path.uploads[0]) + "x" + std::to_string(path.uploads[1]) +
           (path.bigEvenRealAxis ? ", big even real axis" : "") + (path.rader ? ", Rader" : "") +
           (path.bluestein ? ", Bluestein" : "");
}

// The sweep below decides from schedules alone; a built plan takes the scheduled paths.
void expectScheduledAsBuilt(const VkFFTApplication& built, const Geometry& g, int batch,
                            std::uint64_t sharedMemory = 0) {
    BackendFields fields;
    const ScheduledPlan scheduled(fields, g, batch, sharedMemory);
    ASSERT_EQ(scheduled.result, VKFFT_SUCCESS);
    const mirel::vkfft::Path path = mirel::vkfft::path(built);
    EXPECT_TRUE(samePath(mirel::vkfft::path(scheduled.application), path))
        << "scheduled " << describe(mirel::vkfft::path(scheduled.application)) << ", built " << describe(path);
    EXPECT_EQ(mirel::vkfft::remedy(scheduled.application, g), mirel::vkfft::remedy(built, g));
    EXPECT_TRUE(mirel::vkfft::readsBand(built) || mirel::vkfft::honoursBand(path)) << describe(path);
}

class SolverPlans : public VkFFTPlans, public ::testing::WithParamInterface<SolverFFT> {};

TEST_P(SolverPlans, CompileKeepTheirRecordAndReportTheirTables) {
    const SolverFFT& solver = GetParam();
    const Geometry& g = solver.geometry;
    const std::size_t before = emu::liveBytes();
    {
        mirel::FFT fft(g.n, g.realToComplex, g.rowPitch, g.cutoff, stream);
        EXPECT_EQ(fft.allocatedBytes(), 0u);
        for (std::size_t built = 0; built < solver.batches.size(); ++built) {
            const int batch = solver.batches[built];
            SCOPED_TRACE("batch " + std::to_string(batch));
            const auto start = std::chrono::steady_clock::now();
            fft.prepare(batch);
            const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
            RecordProperty("batch" + std::to_string(batch) + "_build_seconds", std::to_string(seconds.count()));
            EXPECT_EQ(cachedPlanCount(fft), built + 1);
            const VkFFTApplication* application = mirel::CachedPlans::application(fft, batch);
            ASSERT_NE(application, nullptr);
            const Remedy remedy = mirel::CachedPlans::remedy(fft, batch);
            expectKeptRecord(*application, g, batch, stream, remedy);
            expectScheduledAsBuilt(*application, g, batch);
            EXPECT_EQ(application->configuration.buffer, nullptr) << "a buffer given at plan time";
            // The runtime's own count of what the library allocated is the independent sum.
            const std::size_t tables = fft.allocatedBytes();
            EXPECT_EQ(tables, emu::liveBytes() - before);
            if (g.realToComplex && g.n >= 768) {
                EXPECT_GT(tables, 0u) << "twiddle tables forced on";
            }

            fft.prepare(batch);
            EXPECT_EQ(cachedPlanCount(fft), built + 1);
            EXPECT_EQ(fft.allocatedBytes(), tables);
            EXPECT_EQ(emu::liveBytes() - before, tables);
        }

        const std::size_t tables = fft.allocatedBytes();
        int largest = 0;
        for (const int batch : solver.batches) largest = std::max(largest, batch);
        const auto data = deviceBuffer(fieldBytes(g, largest));
        const std::size_t withData = emu::liveBytes();
        for (const int batch : solver.batches) {
            SCOPED_TRACE("batch " + std::to_string(batch));
            for (const bool inverse : {false, true}) {
                SCOPED_TRACE(inverse ? "inverse" : "forward");
                const unsigned long long launches = driverLaunches();
                fft.transform(data.get(), batch, inverse);
                // At least one kernel per axis.
                EXPECT_GE(driverLaunches(), launches + 2);
            }
            // VkFFT reads the buffer size through the address it was given, which must stay the
            // plan's own.
            expectKeptRecord(*mirel::CachedPlans::application(fft, batch), g, batch, stream,
                             mirel::CachedPlans::remedy(fft, batch));
        }
        EXPECT_EQ(cachedPlanCount(fft), solver.batches.size());
        EXPECT_EQ(fft.allocatedBytes(), tables);
        EXPECT_EQ(emu::liveBytes(), withData) << "a transform allocated";
    }
    EXPECT_EQ(emu::liveBytes(), before) << "the plans' tables outlived their FFT";
}

INSTANTIATE_TEST_SUITE_P(, SolverPlans, ::testing::ValuesIn(solverFFTs()),
                         [](const ::testing::TestParamInfo<SolverFFT>& info) { return info.param.name; });

// The shared memory per block that the card classes the build targets give a kernel.
struct CardClass {
    const char* name;
    std::uint64_t sharedMemory;
};

void PrintTo(const CardClass& card, std::ostream* out) { *out << card.name; }

const CardClass cardClasses[] = {
    {"sm80", 166912},
    {"sm86_sm89_sm120", 101376},
    {"sm90_sm100", 232448},
};

const char* describe(Remedy remedy) {
    switch (remedy) {
        case Remedy::callbackRealTransforms: return "callback real transforms";
        case Remedy::bandClearedByCaller: return "no zero padding, band cleared before the inverse";
        case Remedy::none: break;
    }
    return "as configured";
}

// Under AddressSanitizer each schedule, which zeroes and frees two plan records of half a
// megabyte, takes ten times as long; there the sweep takes every eighth N, elsewhere every one.
#if defined(__SANITIZE_ADDRESS__)
constexpr int sweepStep = 16;
#else
constexpr int sweepStep = 2;
#endif

class PlanTable : public VkFFTPlans, public ::testing::WithParamInterface<CardClass> {};

// Only the padded grid has a zero band, and every path is right without one, so the padded plans
// of every even N, for the batch counts of both operators, are what can go wrong on a card. Each
// is decided from VkFFT's schedule, which the plans built here and below follow.
TEST_P(PlanTable, NoPaddedPlanTakesAPathThatIgnoresItsBand) {
    const CardClass card = GetParam();
    BackendFields fields;
    std::map<Remedy, std::vector<int>> remedied;
    std::map<std::string, int> firstOfPath;
    for (int n = 16; n <= 16384; n += sweepStep) {
        const Geometry g = padded(n);
        for (const int batch : {2, 4, 1}) {
            const ScheduledPlan plan(fields, g, batch, card.sharedMemory);
            ASSERT_EQ(plan.result, VKFFT_SUCCESS) << "N " << n << " batch " << batch;
            const mirel::vkfft::Path path = mirel::vkfft::path(plan.application);
            ASSERT_TRUE(mirel::vkfft::readsBand(plan.application) || mirel::vkfft::honoursBand(path))
                << "N " << n << " batch " << batch << ": " << describe(path) << " with zero padding";
            if (batch != 2) continue;
            const Remedy remedy = mirel::vkfft::remedy(plan.application, g);
            if (remedy != Remedy::none) remedied[remedy].push_back(n);
            firstOfPath.emplace(describe(path) + "; " + describe(remedy), n);
        }
    }
    for (const auto& [signature, n] : firstOfPath) std::cout << card.name << ": from N " << n << ": " << signature << "\n";
    for (const auto& [remedy, ns] : remedied) {
        std::string list;
        for (const int n : ns) list += (list.empty() ? "" : " ") + std::to_string(n);
        std::cout << card.name << ": " << ns.size() << " N from " << ns.front() << " to " << ns.back() << " built with "
                  << describe(remedy) << "\n";
        RecordProperty(std::string("remedy_") + std::to_string(static_cast<int>(remedy)), list);
    }
}

INSTANTIATE_TEST_SUITE_P(, PlanTable, ::testing::ValuesIn(cardClasses),
                         [](const ::testing::TestParamInfo<CardClass>& info) { return std::string(info.param.name); });

// On the stand-in's compute capability 9.0 card the padded grid of N = 2192 (M = 3288, with the
// prime factor 137) takes Bluestein's algorithm in two passes: its plan has no zero padding, and
// the layer clears the band itself before each inverse transform. The stand-in runs no kernel,
// so what the buffer holds afterwards is the clearing alone.
TEST_F(VkFFTPlans, PlanWithoutZeroPaddingHasItsBandClearedBeforeEachInverse) {
    const Geometry g = padded(2192);
    mirel::FFT fft(g.n, g.realToComplex, g.rowPitch, g.cutoff, stream);
    fft.prepare(1);
    ASSERT_EQ(mirel::CachedPlans::remedy(fft, 1), Remedy::bandClearedByCaller);
    expectKeptRecord(*mirel::CachedPlans::application(fft, 1), g, 1, stream, Remedy::bandClearedByCaller);
    expectScheduledAsBuilt(*mirel::CachedPlans::application(fft, 1), g, 1);

    const std::uint64_t bytes = fieldBytes(g, 1);
    const auto data = deviceBuffer(bytes);
    std::vector<unsigned char> contents(bytes);
    const auto transformed = [&](bool inverse) {
        cudaCheck(cudaMemsetAsync(data.get(), 0xff, bytes, stream), "cudaMemsetAsync");
        fft.transform(data.get(), 1, inverse);
        cudaCheck(cudaMemcpyAsync(contents.data(), data.get(), bytes, cudaMemcpyDeviceToHost, stream),
                  "cudaMemcpyAsync");
        cudaCheck(cudaStreamSynchronize(stream), "cudaStreamSynchronize");
    };
    const auto cleared = [&](int y, int x) {
        const unsigned char* element = contents.data() + (static_cast<std::size_t>(y) * g.rowPitch + x) * 8;
        return std::all_of(element, element + 8, [](unsigned char byte) { return byte == 0; });
    };
    const auto expectCleared = [&](bool inverse) {
        SCOPED_TRACE(inverse ? "inverse" : "forward");
        transformed(inverse);
        int wrong = 0;
        for (int y = 0; y < g.n; ++y)
            for (int x = 0; x < g.rowPitch; ++x) {
                const bool band = x <= g.n / 2 && (x >= g.cutoff || (y >= g.cutoff && y <= g.n - g.cutoff));
                wrong += cleared(y, x) != (inverse && band);
            }
        EXPECT_EQ(wrong, 0) << "elements cleared or kept wrongly";
    };
    expectCleared(true);
    expectCleared(false);
}

// The padded grid of N = 5848 (M = 8772 = 4 * 3 * 17 * 43): on the stand-in's card VkFFT would
// split its real axis on the big even path, because Rader's algorithm for 43 takes shared memory
// from the pass; the plan is built with callback real transforms and keeps its zero padding.
TEST_F(VkFFTPlans, PlanOnTheBigEvenPathIsBuiltWithCallbackRealTransforms) {
    const Geometry g = padded(5848);
    mirel::FFT fft(g.n, g.realToComplex, g.rowPitch, g.cutoff, stream);
    fft.prepare(1);
    ASSERT_EQ(mirel::CachedPlans::remedy(fft, 1), Remedy::callbackRealTransforms);
    const VkFFTApplication& application = *mirel::CachedPlans::application(fft, 1);
    expectKeptRecord(application, g, 1, stream, Remedy::callbackRealTransforms);
    expectScheduledAsBuilt(application, g, 1);
    EXPECT_FALSE(mirel::vkfft::path(application).bigEvenRealAxis);
    EXPECT_TRUE(mirel::vkfft::path(application).rader);
    EXPECT_FALSE(mirel::vkfft::readsBand(application));
}

// Makes the stand-in driver refuse every kernel image while it lives.
class ModuleRefusal {
public:
    explicit ModuleRefusal(CUresult error) {
        setenv("QM_EMULATOR_MODULE_ERROR", std::to_string(static_cast<int>(error)).c_str(), 1);
    }
    ~ModuleRefusal() { unsetenv("QM_EMULATOR_MODULE_ERROR"); }
    ModuleRefusal(const ModuleRefusal&) = delete;
    ModuleRefusal& operator=(const ModuleRefusal&) = delete;
};

std::string failure(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "(no failure)";
}

TEST_F(VkFFTPlans, RefusedKernelImageFailsThePlanUntilTheDriverTakesIt) {
    // The padded grid of N = 1024: a plan with twiddle tables, which a failed build must free.
    const Geometry g{1536, true, 776, 512};
    mirel::FFT fft(g.n, g.realToComplex, g.rowPitch, g.cutoff, stream);
    const auto data = deviceBuffer(fieldBytes(g, 2));
    fft.prepare(1);
    const std::size_t tables = fft.allocatedBytes();
    const std::size_t live = emu::liveBytes();
    const std::string message =
        "VkFFT CUDA plan N=1536 batch=2 failed: " + std::to_string(static_cast<int>(VKFFT_ERROR_FAILED_TO_LOAD_MODULE));
    {
        const ModuleRefusal refusal(CUDA_ERROR_NO_BINARY_FOR_GPU);
        const std::function<void()> attempts[] = {
            [&] { fft.prepare(2); },
            [&] { fft.transform(data.get(), 2, false); },
            [&] { fft.prepare(2); },
        };
        for (const auto& attempt : attempts) {
            const unsigned long long launches = driverLaunches();
            EXPECT_EQ(failure(attempt), message);
            EXPECT_EQ(driverLaunches(), launches) << "a failed plan enqueued work";
            EXPECT_EQ(cachedPlanCount(fft), 1u);
            EXPECT_EQ(mirel::CachedPlans::application(fft, 2), nullptr);
            EXPECT_EQ(fft.allocatedBytes(), tables);
            EXPECT_EQ(emu::liveBytes(), live) << "the failed build kept device memory";
        }
        // The cached plan needs no new image.
        const unsigned long long launches = driverLaunches();
        fft.transform(data.get(), 1, true);
        EXPECT_GT(driverLaunches(), launches);
    }
    fft.prepare(2);
    EXPECT_EQ(cachedPlanCount(fft), 2u);
    ASSERT_NE(mirel::CachedPlans::application(fft, 2), nullptr);
    expectKeptRecord(*mirel::CachedPlans::application(fft, 2), g, 2, stream);
    EXPECT_GT(fft.allocatedBytes(), tables);
    EXPECT_EQ(fft.allocatedBytes(), tables + emu::liveBytes() - live);
}

TEST_F(VkFFTPlans, TransformOfAnUnpreparedBatchBuildsItsPlanFirst) {
    const Geometry g{18, false, 18, 0};
    mirel::FFT fft(g.n, g.realToComplex, g.rowPitch, g.cutoff, stream);
    const auto data = deviceBuffer(fieldBytes(g, 3));
    for (const bool inverse : {true, false}) {
        SCOPED_TRACE(inverse ? "inverse" : "forward");
        const unsigned long long launches = driverLaunches();
        fft.transform(data.get(), 3, inverse);
        EXPECT_GE(driverLaunches(), launches + 2);
        EXPECT_EQ(cachedPlanCount(fft), 1u);
        ASSERT_NE(mirel::CachedPlans::application(fft, 3), nullptr);
    }
    expectKeptRecord(*mirel::CachedPlans::application(fft, 3), g, 3, stream);
}

// Stands for a transform kernel that reads a plan's twiddle table.
__global__ void readTable(const void*) {}

// VkFFT uploads a plan's tables on the legacy default stream with cudaMemcpy from pageable
// memory, which may return before they land; the plan must be in place before a transform on a
// non-blocking stream, as the solvers' streams are, reads them.
TEST_F(VkFFTPlans, TablesHaveLandedBeforeANonBlockingStreamReadsThem) {
    cudaStream_t nonBlocking = nullptr;
    cudaCheck(cudaStreamCreateWithFlags(&nonBlocking, cudaStreamNonBlocking), "cudaStreamCreateWithFlags");
    {
        mirel::FFT fft(1536, true, 776, 512, nonBlocking);
        fft.prepare(2);
        const VkFFTApplication* application = mirel::CachedPlans::application(fft, 2);
        ASSERT_NE(application, nullptr);
        int tables = 0;
        for (const VkFFTAxis& axis : application->localFFTPlan->axes[0]) {
            if (axis.bufferLUT == nullptr) continue;
            ++tables;
            emu::launch(readTable, dim3(1), dim3(1), nonBlocking, std::tuple<const void*>(axis.bufferLUT));
            EXPECT_EQ(cudaGetLastError(), cudaSuccess) << cudaGetErrorString(cudaErrorIllegalState);
        }
        EXPECT_GT(tables, 0);
        cudaStreamSynchronize(nonBlocking);
    }
    cudaCheck(cudaStreamDestroy(nonBlocking), "cudaStreamDestroy(nonBlocking)");
}

// The interactive UI builds a new solver, and with it new plans, at every new configuration, so a
// plan must give back the host memory its build took when it is deleted. A leaking code generator
// kept about 85 KB per plan of this geometry; the allocator's own growth, once the first builds
// have filled the one-time caches of NVRTC and the driver, stays far below that.
TEST_F(VkFFTPlans, RebuiltPlansKeepNoHostMemory) {
    const auto inUse = [] {
        const struct mallinfo2 heap = mallinfo2();
        return static_cast<long long>(heap.uordblks + heap.hblkhd);
    };
    // The padded grid of N = 32.
    const auto build = [&] {
        mirel::FFT fft(48, true, 32, 16, stream);
        fft.prepare(2);
    };
    build();
    build();
    const long long before = inUse();
    constexpr int rebuilds = 8;
    for (int rebuild = 0; rebuild < rebuilds; ++rebuild) build();
    EXPECT_LT(inUse() - before, rebuilds * 20 * 1024) << "host bytes kept by deleted plans";
}

}  // namespace
