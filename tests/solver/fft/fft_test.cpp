// mirel::FFT on a device: its conventions against directly evaluated DFT sums in double precision,
// the zero band of the padded grid, and the plan cache.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <initializer_list>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "solver/cuda/cuda_check.hpp"
#include "solver/cuda/cuda_loader.hpp"
#include "solver/cuda/device_buffer.hpp"
#include "solver/fft/fft.hpp"
#include "support/device_copy.hpp"
#if !defined(QUELLMAR_EMULATOR)
#include "solver/fft/fft_configuration.hpp"
#endif

namespace {

using Complex = std::complex<double>;
constexpr double pi = 3.14159265358979323846;

struct Geometry {
    const char* name;
    int n;
    bool realToComplex;
    int rowPitch;
    int batch;
    int cutoff = 0;
};

// The row pitch of the solver's padded grids: n/2 + 8 rounded down to a multiple of 8.
constexpr int paddedPitch(int n) { return (n / 2 + 8) / 8 * 8; }

int spectralColumns(const Geometry& g) { return g.realToComplex ? g.n / 2 + 1 : g.n; }

// One n x n field in double precision, element (y, x) at y·n + x.
using Field = std::vector<Complex>;

// The device buffer's contents on the host.
struct Fields {
    const Geometry& geometry;
    std::vector<std::complex<float>> elements;

    explicit Fields(const Geometry& g)
        : geometry(g), elements(static_cast<std::size_t>(g.batch) * g.n * g.rowPitch) {}

    std::complex<float>* row(int b, int y) {
        return elements.data() + (static_cast<std::size_t>(b) * geometry.n + y) * geometry.rowPitch;
    }

    // Spatial fields are real rows of n floats with real-to-complex transforms.
    void storeSpatial(int b, const Field& field) {
        const int n = geometry.n;
        for (int y = 0; y < n; ++y) {
            std::complex<float>* elements = row(b, y);
            auto* reals = reinterpret_cast<float*>(elements);
            for (int x = 0; x < n; ++x) {
                const Complex value = field[y * n + x];
                if (geometry.realToComplex)
                    reals[x] = static_cast<float>(value.real());
                else
                    elements[x] = std::complex<float>(value);
            }
        }
    }

    Field loadSpatial(int b) {
        const int n = geometry.n;
        Field field(static_cast<std::size_t>(n) * n);
        for (int y = 0; y < n; ++y) {
            std::complex<float>* elements = row(b, y);
            const auto* reals = reinterpret_cast<const float*>(elements);
            for (int x = 0; x < n; ++x)
                field[y * n + x] = geometry.realToComplex ? Complex(reals[x]) : Complex(elements[x]);
        }
        return field;
    }

    // Spectra hold columns 0..n/2 only with real-to-complex transforms.
    void storeSpectrum(int b, const Field& spectrum) {
        const int n = geometry.n;
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < spectralColumns(geometry); ++x) row(b, y)[x] = std::complex<float>(spectrum[y * n + x]);
    }

    Field loadSpectrum(int b) {
        const int n = geometry.n;
        Field spectrum(static_cast<std::size_t>(n) * n);
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < spectralColumns(geometry); ++x) spectrum[y * n + x] = Complex(row(b, y)[x]);
        return spectrum;
    }
};

// The sum over (y, x) of field(y, x)·e^(sign·2πi(ky·y + kx·x)/n), one axis after the other.
Field directDft(const Field& field, int n, int sign) {
    Field twiddles(n);
    for (int k = 0; k < n; ++k) twiddles[k] = std::polar(1.0, sign * 2.0 * pi * k / n);
    Field rows(field.size());
    for (int y = 0; y < n; ++y)
        for (int kx = 0; kx < n; ++kx) {
            Complex sum = 0.0;
            for (int x = 0; x < n; ++x) sum += field[y * n + x] * twiddles[(kx * x) % n];
            rows[y * n + kx] = sum;
        }
    Field spectrum(field.size());
    for (int ky = 0; ky < n; ++ky)
        for (int kx = 0; kx < n; ++kx) {
            Complex sum = 0.0;
            for (int y = 0; y < n; ++y) sum += rows[y * n + kx] * twiddles[(ky * y) % n];
            spectrum[ky * n + kx] = sum;
        }
    return spectrum;
}

// Columns above n/2 of the spectrum of a real field, from its conjugate symmetry.
Field completeHalfSpectrum(Field spectrum, int n) {
    for (int ky = 0; ky < n; ++ky)
        for (int kx = n / 2 + 1; kx < n; ++kx) spectrum[ky * n + kx] = std::conj(spectrum[((n - ky) % n) * n + n - kx]);
    return spectrum;
}

Field randomField(int n, bool real, std::mt19937& random, double amplitude = 1.0) {
    std::uniform_real_distribution<double> uniform(-amplitude, amplitude);
    Field field(static_cast<std::size_t>(n) * n);
    for (Complex& value : field) value = real ? Complex(uniform(random)) : Complex(uniform(random), uniform(random));
    return field;
}

Field scaled(Field field, double factor) {
    for (Complex& value : field) value *= factor;
    return field;
}

// Whether row y or column x of a spectrum lies in the zero band.
bool inBand(const Geometry& g, int y, int x) {
    if (g.cutoff == 0) return false;
    const int lastColumn = g.realToComplex ? g.n / 2 : g.n - g.cutoff;
    return (y >= g.cutoff && y <= g.n - g.cutoff) || (x >= g.cutoff && x <= lastColumn);
}

// Compares columns 0..columns−1 of every row, skipping the zero band when asked to.
void expectFieldNear(const Field& actual, const Field& expected, const Geometry& g, int columns, double tolerance,
                     bool skipBand = false) {
    const int n = g.n;
    double worst = 0.0;
    int worstY = 0;
    int worstX = 0;
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < columns; ++x) {
            if (skipBand && inBand(g, y, x)) continue;
            const double error = std::abs(actual[y * n + x] - expected[y * n + x]);
            if (error > worst) {
                worst = error;
                worstY = y;
                worstX = x;
            }
        }
    EXPECT_LE(worst, tolerance) << "worst at row " << worstY << ", column " << worstX << ": "
                                << actual[worstY * n + worstX] << " instead of " << expected[worstY * n + worstX];
}

class FFTTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { mirel::initializeCudaLoader(); }
    void SetUp() override { cudaCheck(cudaStreamCreate(&stream), "cudaStreamCreate(&stream)"); }
    void TearDown() override { cudaCheck(cudaStreamDestroy(stream), "cudaStreamDestroy(stream)"); }

    // Runs the transforms in order on a device copy of `fields`, then copies the result back.
    void transform(mirel::FFT& fft, Fields& fields, std::initializer_list<bool> inverses) {
        const std::size_t bytes = fields.elements.size() * sizeof(fields.elements[0]);
        const mirel::DeviceBuffer buffer(bytes);
        test::upload(stream, buffer.ptr, fields.elements);
        for (const bool inverse : inverses) fft.transform(buffer.ptr, fields.geometry.batch, inverse);
        fields.elements = test::download<std::complex<float>>(stream, buffer.ptr, fields.elements.size());
    }

    mirel::FFT make(const Geometry& g) { return mirel::FFT(g.n, g.realToComplex, g.rowPitch, g.cutoff, stream); }

    cudaStream_t stream = nullptr;
};

const Geometry roundTrips[] = {
    {"complex 16", 16, false, 16, 1},
    {"complex 27, three fields", 27, false, 27, 3},
    {"complex 24, wide rows, two fields", 24, false, 32, 2},
    {"complex 48", 48, false, 48, 1},
    {"complex 128, wide rows, two fields", 128, false, 136, 2},
    {"real 16", 16, true, 9, 1},
    {"real 27, two fields", 27, true, 14, 2},
    {"real 27, padded rows, three fields", 27, true, paddedPitch(27), 3},
    {"real 24", 24, true, 13, 1},
    {"real 48, padded rows, two fields", 48, true, paddedPitch(48), 2},
    {"real 96, padded rows", 96, true, paddedPitch(96), 1},
    {"real 768, padded rows", 768, true, paddedPitch(768), 1},
    {"real 1536, padded rows, two fields", 1536, true, paddedPitch(1536), 2},
};

// Fills every field of the batch with random samples and returns them.
std::vector<Field> storeRandomFields(Fields& fields, const Geometry& g, std::mt19937& random) {
    std::vector<Field> inputs;
    for (int b = 0; b < g.batch; ++b) {
        inputs.push_back(randomField(g.n, g.realToComplex, random));
        fields.storeSpatial(b, inputs.back());
    }
    return inputs;
}

TEST_F(FFTTest, ForwardThenInverseScalesByTheNumberOfPoints) {
    std::mt19937 random(11);
    for (const Geometry& g : roundTrips) {
        SCOPED_TRACE(g.name);
        Fields fields(g);
        const std::vector<Field> inputs = storeRandomFields(fields, g, random);
        mirel::FFT fft = make(g);
        transform(fft, fields, {false, true});
        const double points = static_cast<double>(g.n) * g.n;
        for (int b = 0; b < g.batch; ++b) {
            SCOPED_TRACE("field " + std::to_string(b));
            expectFieldNear(fields.loadSpatial(b), scaled(inputs[b], points), g, g.n, 2e-5 * points);
        }
    }
}

const Geometry references[] = {
    {"complex 16", 16, false, 16, 1},
    {"complex 27, wide rows, two fields", 27, false, 30, 2},
    {"complex 24", 24, false, 24, 1},
    {"real 16", 16, true, 9, 1},
    {"real 27, padded rows, two fields", 27, true, paddedPitch(27), 2},
    {"real 24, padded rows, two fields", 24, true, paddedPitch(24), 2},
    {"real 48, padded rows", 48, true, paddedPitch(48), 1},
};

TEST_F(FFTTest, ForwardIsTheNegativeExponentSum) {
    std::mt19937 random(12);
    for (const Geometry& g : references) {
        SCOPED_TRACE(g.name);
        Fields fields(g);
        const std::vector<Field> inputs = storeRandomFields(fields, g, random);
        mirel::FFT fft = make(g);
        transform(fft, fields, {false});
        for (int b = 0; b < g.batch; ++b) {
            SCOPED_TRACE("field " + std::to_string(b));
            expectFieldNear(fields.loadSpectrum(b), directDft(inputs[b], g.n, -1), g, spectralColumns(g),
                            1e-5 * g.n * g.n);
        }
    }
}

TEST_F(FFTTest, InverseIsTheUnnormalisedPositiveExponentSum) {
    std::mt19937 random(13);
    for (const Geometry& g : references) {
        SCOPED_TRACE(g.name);
        Fields fields(g);
        std::vector<Field> expected;
        for (int b = 0; b < g.batch; ++b) {
            // A complex-to-real inverse needs the spectrum of a real field.
            const Field spectrum = g.realToComplex ? directDft(randomField(g.n, true, random), g.n, -1)
                                                   : randomField(g.n, false, random);
            fields.storeSpectrum(b, spectrum);
            expected.push_back(directDft(spectrum, g.n, +1));
        }
        mirel::FFT fft = make(g);
        transform(fft, fields, {true});
        for (int b = 0; b < g.batch; ++b) {
            SCOPED_TRACE("field " + std::to_string(b));
            expectFieldNear(fields.loadSpatial(b), expected[b], g, g.n, 1e-5 * g.n * g.n);
        }
    }
}

struct Mode {
    Geometry geometry;
    int kx;
    int ky;  // negative: the rows above n/2
};

// Field b carries mode (kx + b, ky − b). Real-to-complex modes keep 0 < kx < n − kx, where a real
// wave has a single coefficient in the half spectrum.
const Mode modes[] = {
    {{"complex 27, wide rows, two fields", 27, false, 30, 2}, 4, -5},
    {{"complex 24", 24, false, 24, 1}, 11, 12},
    {{"real 24, padded rows, two fields", 24, true, paddedPitch(24), 2}, 3, 7},
    {{"real 27, last column", 27, true, 14, 1}, 13, -2},
};

double phase(int kx, int ky, int x, int y, int n) {
    const int turns = ((kx * x + ky * y) % n + n) % n;
    return 2.0 * pi * turns / n;
}

int rowOf(int ky, int n) { return ky < 0 ? ky + n : ky; }

TEST_F(FFTTest, SingleModesTransformToTheirExactSamples) {
    // Real-to-complex inverse input: c at (kx, ky) stands for c·e^(iθ) + conj(c)·e^(−iθ).
    const Complex coefficient(0.75, -0.5);
    for (const Mode& mode : modes) {
        const Geometry& g = mode.geometry;
        SCOPED_TRACE(g.name);
        const int n = g.n;
        const double points = static_cast<double>(n) * n;
        Fields waves(g);
        Fields lines(g);
        std::vector<Field> spectra;
        std::vector<Field> samples;
        for (int b = 0; b < g.batch; ++b) {
            const int kx = mode.kx + b;
            const int ky = mode.ky - b;
            Field wave(static_cast<std::size_t>(n) * n);
            Field inverseWave(wave.size());
            for (int y = 0; y < n; ++y)
                for (int x = 0; x < n; ++x) {
                    const double theta = phase(kx, ky, x, y, n);
                    // sin θ = (e^(iθ) − e^(−iθ)) / 2i: the forward sum puts −i·n²/2 at (kx, ky).
                    wave[y * n + x] = g.realToComplex ? Complex(std::sin(theta)) : std::polar(1.0, theta);
                    inverseWave[y * n + x] = g.realToComplex
                                                 ? Complex(2.0 * (coefficient * std::polar(1.0, theta)).real())
                                                 : coefficient * std::polar(1.0, theta);
                }
            Field line(wave.size());
            line[rowOf(ky, n) * n + kx] = g.realToComplex ? Complex(0.0, -points / 2) : Complex(points);
            Field single(wave.size());
            single[rowOf(ky, n) * n + kx] = coefficient;
            waves.storeSpatial(b, wave);
            lines.storeSpectrum(b, single);
            spectra.push_back(line);
            samples.push_back(inverseWave);
        }
        mirel::FFT fft = make(g);
        transform(fft, waves, {false});
        transform(fft, lines, {true});
        for (int b = 0; b < g.batch; ++b) {
            SCOPED_TRACE("field " + std::to_string(b));
            expectFieldNear(waves.loadSpectrum(b), spectra[b], g, spectralColumns(g), 1e-5 * points);
            expectFieldNear(lines.loadSpatial(b), samples[b], g, n, 1e-4);
        }
    }
}

// The solver's padded grids M = 3N/2 with the band from N/2.
const Geometry bands[] = {
    {"real, N = 16", 24, true, paddedPitch(24), 2, 8},
    {"real, N = 18", 27, true, paddedPitch(27), 1, 9},
    {"real, N = 32", 48, true, paddedPitch(48), 1, 16},
    {"complex, N = 16", 24, false, 24, 1, 8},
    {"complex, N = 18, wide rows, two fields", 27, false, 28, 2, 9},
};

TEST_F(FFTTest, ZeroBandIsReadAsZeroAndForwardIsExactOutsideIt) {
    std::mt19937 random(14);
    for (const Geometry& g : bands) {
        SCOPED_TRACE(g.name);
        const int n = g.n;
        Fields waves(g);
        Fields zeroBand(g);
        Fields filledBand(g);
        std::vector<Field> spectra;
        std::vector<Field> expected;
        for (int b = 0; b < g.batch; ++b) {
            const Field wave = randomField(n, g.realToComplex, random);
            const Field spectrum = directDft(wave, n, -1);
            const Field garbage = randomField(n, false, random, 1e3);
            Field zeroed = spectrum;
            Field filled = spectrum;
            for (int y = 0; y < n; ++y)
                for (int x = 0; x < n; ++x)
                    if (inBand(g, y, x)) {
                        zeroed[y * n + x] = 0.0;
                        filled[y * n + x] = garbage[y * n + x];
                    }
            waves.storeSpatial(b, wave);
            zeroBand.storeSpectrum(b, zeroed);
            filledBand.storeSpectrum(b, filled);
            spectra.push_back(spectrum);
            expected.push_back(directDft(g.realToComplex ? completeHalfSpectrum(zeroed, n) : zeroed, n, +1));
        }
        mirel::FFT fft = make(g);
        transform(fft, waves, {false});
        transform(fft, zeroBand, {true});
        transform(fft, filledBand, {true});
        const double tolerance = 1e-5 * n * n;
        for (int b = 0; b < g.batch; ++b) {
            SCOPED_TRACE("field " + std::to_string(b));
            expectFieldNear(waves.loadSpectrum(b), spectra[b], g, spectralColumns(g), tolerance, true);
            expectFieldNear(zeroBand.loadSpatial(b), expected[b], g, n, tolerance);
            expectFieldNear(filledBand.loadSpatial(b), expected[b], g, n, tolerance);
        }
    }
}

TEST_F(FFTTest, PlansAreBuiltOncePerBatchCount) {
    const Geometry g{"real 24, padded rows, two fields", 24, true, paddedPitch(24), 2};
    mirel::FFT fft = make(g);
    EXPECT_EQ(cachedPlanCount(fft), 0u);
    EXPECT_EQ(fft.allocatedBytes(), 0u);

    std::mt19937 random(15);
    Fields fields(g);
    for (int b = 0; b < g.batch; ++b) fields.storeSpatial(b, randomField(g.n, true, random));
    const std::vector<std::complex<float>> before = fields.elements;
    const std::size_t bytes = fields.elements.size() * sizeof(fields.elements[0]);
    const mirel::DeviceBuffer buffer(bytes);
    test::upload(stream, buffer.ptr, before);

    fft.prepare(g.batch);
    EXPECT_EQ(cachedPlanCount(fft), 1u);
    const std::size_t planBytes = fft.allocatedBytes();
    fields.elements = test::download<std::complex<float>>(stream, buffer.ptr, fields.elements.size());
    EXPECT_EQ(fields.elements, before) << "prepare transformed";

    fft.prepare(g.batch);
    fft.transform(buffer.ptr, g.batch, false);
    fft.transform(buffer.ptr, g.batch, true);
    EXPECT_EQ(cachedPlanCount(fft), 1u);
    EXPECT_EQ(fft.allocatedBytes(), planBytes);

    fft.transform(buffer.ptr, 1, false);
    EXPECT_EQ(cachedPlanCount(fft), 2u);
    EXPECT_GE(fft.allocatedBytes(), planBytes);
    cudaCheck(cudaStreamSynchronize(stream), "cudaStreamSynchronize(stream)");
}

#if !defined(QUELLMAR_EMULATOR)
TEST_F(FFTTest, PlansWithTwiddleTablesReportTheirDeviceMemory) {
    const int n = 768;
    mirel::FFT fft(n, true, paddedPitch(n), 0, stream);
    fft.prepare(1);
    const std::size_t one = fft.allocatedBytes();
    EXPECT_GT(one, 0u);
    fft.prepare(2);
    EXPECT_GT(fft.allocatedBytes(), one) << "each plan holds its own tables";
}

TEST_F(FFTTest, FailedPlanLeavesTheCacheAsItWas) {
    mirel::FFT fft(0, true, 1, 0, stream);
    const std::string message = "VkFFT CUDA plan N=0 batch=1 failed: " + std::to_string(VKFFT_ERROR_EMPTY_size);
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            fft.prepare(1);
            ADD_FAILURE() << "planned an empty transform";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
        EXPECT_EQ(cachedPlanCount(fft), 0u);
        EXPECT_EQ(fft.allocatedBytes(), 0u);
    }
}
#endif

}  // namespace
