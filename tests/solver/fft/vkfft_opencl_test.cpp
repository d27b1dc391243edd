// The FFT layer's VkFFT plans, built by the same rule as on a GPU but with VkFFT's OpenCL backend,
// run on the CPU (pocl) and checked against FFTW in double precision. The shared-memory size a
// card reports decides which of VkFFT's paths a plan takes; small lengths with small forced sizes
// take every path in a few seconds, and each case asserts its path, so that a later VkFFT or rule
// change cannot quietly stop testing one.
#define CL_TARGET_OPENCL_VERSION 120
#include <gtest/gtest.h>

#include <CL/cl.h>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <fftw3.h>

#include "solver/fft/vkfft_plan.hpp"

namespace {

using mirel::vkfft::Geometry;
using mirel::vkfft::Remedy;

struct ExpectedPath {
    std::uint64_t uploads[2];
    bool bigEvenRealAxis;
    bool rader;
    bool bluestein;
    Remedy remedy;
};

struct Case {
    const char* name;
    Geometry geometry;
    int batch;
    // What the plan is told a card's shared memory per block is; 0 leaves pocl's own.
    std::uint64_t sharedMemory;
    ExpectedPath expected;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

// The H100's shared memory per block.
constexpr std::uint64_t h100 = 232448;

// The padded grid of resolution N: M = 3N/2 with rows of M/2 + 1 complex elements rounded up to
// eight, and the band from N/2.
Geometry padded(int n) {
    const int m = 3 * n / 2;
    return {m, true, (m / 2 + 8) / 8 * 8, n / 2};
}

const Case cases[] = {
    // The solvers' FFTs at N = 16: the padded grid for both operators, the base grid, the complex
    // grid of an initial field and the CNAB2 grid.
    {"padded_stress", padded(16), 2, h100, {{1, 1}, false, false, false, Remedy::none}},
    {"padded_advective", padded(16), 4, h100, {{1, 1}, false, false, false, Remedy::none}},
    {"base", {16, true, 9, 0}, 3, h100, {{1, 1}, false, false, false, Remedy::none}},
    {"complex", {16, false, 16, 0}, 1, h100, {{1, 1}, false, false, false, Remedy::none}},
    {"cnab2", {24, true, 13, 0}, 3, h100, {{1, 1}, false, false, false, Remedy::none}},
    // A complex grid with a band, in three passes per axis.
    {"several_uploads", {48, false, 48, 16}, 1, 256, {{3, 3}, false, false, false, Remedy::none}},
    // The padded grid of N = 256 where one pass holds fewer than its 384 points: VkFFT would take
    // its big even real path.
    {"big_even_real_axis", padded(256), 2, 2048, {{2, 2}, false, false, false, Remedy::callbackRealTransforms}},
    // N = 34: M = 51 = 3 * 17, and 17 is done by Rader's algorithm, in one pass and in two.
    {"rader_one_pass", padded(34), 2, h100, {{1, 1}, false, true, false, Remedy::none}},
    {"rader_several_passes", padded(306), 1, 2048, {{2, 2}, false, true, false, Remedy::none}},
    // N = 214: M = 321 = 3 * 107, and 107 takes Bluestein's algorithm; N = 102: M = 153 = 9 * 17
    // forced into two passes, where Bluestein's algorithm takes over.
    {"bluestein_one_pass", padded(214), 1, h100, {{1, 1}, false, false, true, Remedy::none}},
    {"bluestein_several_passes", padded(102), 2, 1024, {{2, 2}, false, false, true, Remedy::bandClearedByCaller}},
    // N = 428: M = 642 = 6 * 107, whose real axis VkFFT would also split.
    {"big_even_bluestein", padded(428), 1, 4096, {{2, 2}, true, false, true, Remedy::bandClearedByCaller}},
    // Without a band every path is right, those that ignore a band included: the CNAB2 grid of
    // N = 256 on the big even real path, and a complex grid of 102 = 6 * 17 in two passes.
    {"big_even_without_band", {384, true, 193, 0}, 3, 2048, {{1, 2}, true, false, false, Remedy::none}},
    {"bluestein_several_passes_without_band", {102, false, 102, 0}, 1, 512, {{2, 2}, false, false, true, Remedy::none}},
};

// One OpenCL device with its context and queue.
class OpenCL {
public:
    OpenCL() {
        cl_uint platforms = 0;
        if (clGetPlatformIDs(1, &platform, &platforms) != CL_SUCCESS || platforms == 0)
            throw std::runtime_error("no OpenCL platform: scripts/setup installs pocl");
        if (clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, 1, &device, nullptr) != CL_SUCCESS)
            throw std::runtime_error("no OpenCL device");
        cl_int error = CL_SUCCESS;
        context = clCreateContext(nullptr, 1, &device, nullptr, nullptr, &error);
        if (error != CL_SUCCESS) throw std::runtime_error("clCreateContext: " + std::to_string(error));
        queue = clCreateCommandQueue(context, device, 0, &error);
        if (error != CL_SUCCESS) throw std::runtime_error("clCreateCommandQueue: " + std::to_string(error));
    }
    ~OpenCL() {
        clReleaseCommandQueue(queue);
        clReleaseContext(context);
    }
    OpenCL(const OpenCL&) = delete;
    OpenCL& operator=(const OpenCL&) = delete;

    cl_platform_id platform = nullptr;
    cl_device_id device = nullptr;
    cl_context context = nullptr;
    cl_command_queue queue = nullptr;
};

// The spectral layout of a geometry: `columns` complex elements of each row hold the spectrum.
struct Layout {
    Geometry g;
    int batch;

    int columns() const { return g.realToComplex ? g.n / 2 + 1 : g.n; }
    std::size_t floats() const { return 2 * static_cast<std::size_t>(g.n) * g.rowPitch * batch; }
    // The first float of spectral element (b, y, x), and of real sample (b, y, x).
    std::size_t complexAt(int b, int y, int x) const {
        return 2 * ((static_cast<std::size_t>(b) * g.n + y) * g.rowPitch + x);
    }
    std::size_t realAt(int b, int y, int x) const {
        return (static_cast<std::size_t>(b) * g.n + y) * 2 * g.rowPitch + x;
    }
    bool inBand(int y, int x) const {
        if (g.cutoff == 0) return false;
        const bool row = y >= g.cutoff && y <= g.n - g.cutoff;
        const bool column = g.realToComplex ? x >= g.cutoff : x >= g.cutoff && x <= g.n - g.cutoff;
        return row || column;
    }
};

// One field's transform in double precision, FFTW's conventions being the layer's: forward with
// the negative exponent, neither direction normalised. Spectra hold `columns` elements a row.
std::vector<double> reference(const Layout& l, const std::vector<double>& input, bool inverse) {
    const int n = l.g.n;
    std::vector<double> in = input;
    std::vector<double> out(l.g.realToComplex && inverse ? static_cast<std::size_t>(n) * n
                                                         : 2 * static_cast<std::size_t>(n) * l.columns());
    auto* const inComplex = reinterpret_cast<fftw_complex*>(in.data());
    auto* const outComplex = reinterpret_cast<fftw_complex*>(out.data());
    fftw_plan plan = nullptr;
    if (!l.g.realToComplex)
        plan = fftw_plan_dft_2d(n, n, inComplex, outComplex, inverse ? FFTW_BACKWARD : FFTW_FORWARD, FFTW_ESTIMATE);
    else if (inverse)
        plan = fftw_plan_dft_c2r_2d(n, n, inComplex, out.data(), FFTW_ESTIMATE);
    else
        plan = fftw_plan_dft_r2c_2d(n, n, in.data(), outComplex, FFTW_ESTIMATE);
    fftw_execute(plan);
    fftw_destroy_plan(plan);
    return out;
}

double relativeError(double squaredDifference, double squaredNorm) { return std::sqrt(squaredDifference / squaredNorm); }

class VkFFTOpenCL : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        const Layout l{GetParam().geometry, GetParam().batch};
        bytes = l.floats() * sizeof(float);
        cl_int error = CL_SUCCESS;
        buffer = clCreateBuffer(cl.context, CL_MEM_READ_WRITE, bytes, nullptr, &error);
        ASSERT_EQ(error, CL_SUCCESS);
        std::memset(&application, 0, sizeof application);
    }
    void TearDown() override {
        if (built) deleteVkFFT(&application);
        clReleaseMemObject(buffer);
    }

    // The record as the FFT layer hands it over: the backend's fields, everything else zero.
    VkFFTConfiguration backendFields() {
        VkFFTConfiguration configuration;
        std::memset(&configuration, 0, sizeof configuration);
        configuration.device = &cl.device;
        configuration.context = &cl.context;
        configuration.commandQueue = &cl.queue;
        configuration.buffer = &buffer;
        configuration.bufferSize = &bytes;
        configuration.sharedMemorySize = GetParam().sharedMemory;
        return configuration;
    }

    std::vector<float> run(std::vector<float> data, bool inverse) {
        EXPECT_EQ(clEnqueueWriteBuffer(cl.queue, buffer, CL_TRUE, 0, bytes, data.data(), 0, nullptr, nullptr),
                  CL_SUCCESS);
        VkFFTLaunchParams launch{};
        launch.commandQueue = &cl.queue;
        launch.buffer = &buffer;
        EXPECT_EQ(VkFFTAppend(&application, inverse ? 1 : -1, &launch), VKFFT_SUCCESS);
        EXPECT_EQ(clFinish(cl.queue), CL_SUCCESS);
        EXPECT_EQ(clEnqueueReadBuffer(cl.queue, buffer, CL_TRUE, 0, bytes, data.data(), 0, nullptr, nullptr),
                  CL_SUCCESS);
        return data;
    }

    OpenCL cl;
    cl_mem buffer = nullptr;
    std::uint64_t bytes = 0;
    VkFFTApplication application;
    bool built = false;
};

void expectPath(const mirel::vkfft::Path& path, const ExpectedPath& expected) {
    EXPECT_EQ(path.uploads[0], expected.uploads[0]) << "passes of the row axis";
    EXPECT_EQ(path.uploads[1], expected.uploads[1]) << "passes of the column axis";
    EXPECT_EQ(path.bigEvenRealAxis, expected.bigEvenRealAxis) << "the big even real path";
    EXPECT_EQ(path.rader, expected.rader) << "Rader's algorithm";
    EXPECT_EQ(path.bluestein, expected.bluestein) << "Bluestein's algorithm";
}

TEST_P(VkFFTOpenCL, PlanTakesItsPathAndAgreesWithFFTW) {
    const Case& c = GetParam();
    const Layout l{c.geometry, c.batch};
    const int n = c.geometry.n;
    ASSERT_EQ(mirel::vkfft::buildPlan(application, backendFields(), c.geometry, c.batch), VKFFT_SUCCESS);
    built = true;
    {
        SCOPED_TRACE("the plan built");
        expectPath(mirel::vkfft::path(application), c.expected);
        EXPECT_EQ(mirel::vkfft::remedy(application, c.geometry), c.expected.remedy);
        EXPECT_EQ(mirel::vkfft::readsBand(application), c.expected.remedy == Remedy::bandClearedByCaller ||
                                                            c.geometry.cutoff == 0);
    }
    {
        SCOPED_TRACE("the plan scheduled without kernels");
        VkFFTApplication scheduled;
        std::memset(&scheduled, 0, sizeof scheduled);
        ASSERT_EQ(mirel::vkfft::schedulePlan(scheduled, backendFields(), c.geometry, c.batch), VKFFT_SUCCESS);
        expectPath(mirel::vkfft::path(scheduled), c.expected);
        EXPECT_EQ(mirel::vkfft::remedy(scheduled, c.geometry), c.expected.remedy);
        deleteVkFFT(&scheduled);
    }

    std::mt19937 random(20261211);
    std::normal_distribution<double> normal;

    // Inverse: the spectrum of a random real field (any values for a complex one), zero in the
    // band, which the buffer fills with NaN; the caller clears the band where the plan reads it.
    std::vector<float> zeroBand(l.floats(), 0.0f);
    std::vector<std::vector<double>> expected;
    for (int b = 0; b < c.batch; ++b) {
        std::vector<double> spectrum(2 * static_cast<std::size_t>(n) * l.columns());
        if (c.geometry.realToComplex) {
            std::vector<double> field(static_cast<std::size_t>(n) * n);
            for (double& value : field) value = normal(random);
            spectrum = reference(l, field, false);
        } else {
            for (double& value : spectrum) value = normal(random);
        }
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < l.columns(); ++x) {
                const std::size_t at = 2 * (static_cast<std::size_t>(y) * l.columns() + x);
                if (l.inBand(y, x)) spectrum[at] = spectrum[at + 1] = 0.0;
                zeroBand[l.complexAt(b, y, x)] = static_cast<float>(spectrum[at]);
                zeroBand[l.complexAt(b, y, x) + 1] = static_cast<float>(spectrum[at + 1]);
            }
        expected.push_back(reference(l, spectrum, true));
    }
    std::vector<float> nanBand = zeroBand;
    for (int b = 0; b < c.batch; ++b)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < l.columns(); ++x)
                if (l.inBand(y, x))
                    nanBand[l.complexAt(b, y, x)] = nanBand[l.complexAt(b, y, x) + 1] =
                        std::numeric_limits<float>::quiet_NaN();
    if (c.geometry.cutoff != 0 && mirel::vkfft::readsBand(application))
        mirel::vkfft::forEachBandStrip(c.geometry, c.batch, [&](const mirel::vkfft::BandStrip& strip) {
            for (std::uint64_t row = 0; row < strip.rows; ++row)
                for (std::uint64_t column = 0; column < strip.columns; ++column) {
                    const std::size_t at = 2 * (strip.first + row * strip.pitch + column);
                    nanBand[at] = nanBand[at + 1] = 0.0f;
                }
        });
    const std::vector<float> fromZero = run(zeroBand, true);
    const std::vector<float> fromNaN = run(nanBand, true);
    double difference = 0;
    double norm = 0;
    bool same = true;
    for (int b = 0; b < c.batch; ++b)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                const std::size_t at = c.geometry.realToComplex ? l.realAt(b, y, x) : l.complexAt(b, y, x);
                const std::size_t count = c.geometry.realToComplex ? 1 : 2;
                for (std::size_t part = 0; part < count; ++part) {
                    const double want = expected[b][count * (static_cast<std::size_t>(y) * n + x) + part];
                    difference += (fromZero[at + part] - want) * (fromZero[at + part] - want);
                    norm += want * want;
                    same = same && std::memcmp(&fromZero[at + part], &fromNaN[at + part], sizeof(float)) == 0;
                }
            }
    EXPECT_LT(relativeError(difference, norm), 2e-6) << "inverse";
    EXPECT_TRUE(same) << "a NaN band changed the inverse";

    // Forward: random samples; the band holds unspecified values afterwards.
    std::vector<float> samples(l.floats());
    for (float& value : samples) value = static_cast<float>(normal(random));
    const std::vector<float> spectra = run(samples, false);
    difference = norm = 0;
    for (int b = 0; b < c.batch; ++b) {
        std::vector<double> field(static_cast<std::size_t>(n) * n * (c.geometry.realToComplex ? 1 : 2));
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                if (c.geometry.realToComplex) {
                    field[static_cast<std::size_t>(y) * n + x] = samples[l.realAt(b, y, x)];
                } else {
                    field[2 * (static_cast<std::size_t>(y) * n + x)] = samples[l.complexAt(b, y, x)];
                    field[2 * (static_cast<std::size_t>(y) * n + x) + 1] = samples[l.complexAt(b, y, x) + 1];
                }
            }
        const std::vector<double> want = reference(l, field, false);
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < l.columns(); ++x) {
                if (l.inBand(y, x)) continue;
                for (int part = 0; part < 2; ++part) {
                    const double value = want[2 * (static_cast<std::size_t>(y) * l.columns() + x) + part];
                    const double got = spectra[l.complexAt(b, y, x) + part];
                    difference += (got - value) * (got - value);
                    norm += value * value;
                }
            }
    }
    EXPECT_LT(relativeError(difference, norm), 2e-6) << "forward";
}

INSTANTIATE_TEST_SUITE_P(, VkFFTOpenCL, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
