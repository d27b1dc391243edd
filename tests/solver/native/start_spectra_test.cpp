// The generated start spectra: the random phases of "PAO" and the mode each one goes to, its
// Gaussian energy spectrum, the shell spectrum of "KM3", and the symmetries of both.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <vector>

#include "solver/native/start_spectra.hpp"
#include "support/two_pi.hpp"

namespace {

using mirel::Complex;

constexpr double pi = 3.141592653589793;

mirel::Config spectrumConfig(int n, int k0, std::uint64_t seed, std::uint32_t spectrum) {
    mirel::Config config;
    config.resolution = n;
    config.k0 = k0;
    config.seed = seed;
    config.startSpectrum = spectrum;
    return config;
}

// The mode stored in row r: rows above N/2 hold the negative wavenumbers.
int rowWavenumber(int r, int n) { return r <= n / 2 ? r : r - n; }

std::complex<double> at(const std::vector<Complex>& values, int n, int r, int kx) {
    const Complex value = values[static_cast<std::size_t>(r) * (n / 2 + 1) + kx];
    return {value.re, value.im};
}

// |u|^2 + |v|^2 of a mode from its vorticity: |omega|^2 / k^2, less the N^2 of the transform.
double modeEnergy(const std::vector<Complex>& values, int n, int r, int kx) {
    const int ky = rowWavenumber(r, n);
    return std::norm(at(values, n, r, kx)) / (double(n) * n * n * n * (kx * kx + ky * ky));
}

// The generator of the phases: splitmix64 from seed + golden ratio, one 24-bit angle per draw.
class Splitmix {
public:
    explicit Splitmix(std::uint64_t seed) : state(seed + 0x9e3779b97f4a7c15ull) {}
    float phase() {
        state += 0x9e3779b97f4a7c15ull;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        z ^= z >> 31;
        return (float(z >> 40) * 5.9604645e-08f) * test::twoPiSingle;
    }

private:
    std::uint64_t state;
};

// Draws go row by row, ky = 0, 1, .., N/2 - 1, then -N/2 + 1, .., -1; in a row with ky > 0 first
// the mode kx = 0 (u only, its mirror -ky gets the conjugate), then kx = 1 .. N/2 - 1 (divergence
// free, v with the drawn phase). Each mode carries |u|^2 + |v|^2 = exp(-k^2/k0^2) / (pi k0^2).
TEST(PaoSpectrum, EachDrawGoesToItsModeInOrder) {
    constexpr int n = 16, h = n / 2;
    for (std::uint64_t seed : {0ull, 2ull, 0xffffffffffffffffull}) {
        SCOPED_TRACE(seed);
        const int k0 = 3;
        const std::vector<Complex> values = mirel::nativeSpectrum(spectrumConfig(n, k0, seed, 0));
        Splitmix draws(seed);
        int count = 0;
        const auto expect = [&](int r, int kx) {
            const int ky = rowWavenumber(r, n);
            const double k2 = kx * kx + ky * ky;
            const double gaussian = std::exp(-k2 / (k0 * k0)) / (pi * k0 * k0);
            const std::complex<double> drawn = std::polar(1.0, double(draws.phase()));
            ++count;
            // omega = i (kx v - ky u) N^2
            const std::complex<double> omega =
                kx == 0 ? std::complex<double>(0, -ky) * std::sqrt(gaussian) * drawn
                        : std::complex<double>(0, k2 / kx) * std::sqrt(gaussian * kx * kx / k2) * drawn;
            const std::complex<double> expected = omega * double(n * n);
            EXPECT_LT(std::abs(at(values, n, r, kx) - expected), 2e-6 * std::abs(expected))
                << "draw " << count << " at row " << r << ", kx " << kx;
        };
        for (int r = 0; r < n; ++r) {
            const int ky = rowWavenumber(r, n);
            if (ky == h) continue;
            if (ky > 0) expect(r, 0);
            for (int kx = 1; kx < h; ++kx) expect(r, kx);
        }
        EXPECT_EQ(count, n * (h - 1));
    }
}

TEST(PaoSpectrum, ModesCarryTheGaussianEnergySpectrum) {
    struct Case {
        int n, k0;
        std::uint64_t seed;
    };
    const Case cases[] = {{32, 1, 0}, {32, 4, 2}, {32, 8, 1ull << 60}, {48, 5, 77}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "N " << c.n << ", k0 " << c.k0 << ", seed " << c.seed);
        const int h = c.n / 2;
        const std::vector<Complex> values = mirel::nativeSpectrum(spectrumConfig(c.n, c.k0, c.seed, 0));
        for (int r = 0; r < c.n; ++r)
            for (int kx = 0; kx < h; ++kx) {
                const int ky = rowWavenumber(r, c.n);
                if (ky == h || (kx == 0 && ky == 0)) continue;
                const double expected = std::exp(-double(kx * kx + ky * ky) / (c.k0 * c.k0)) / (pi * c.k0 * c.k0);
                EXPECT_NEAR(modeEnergy(values, c.n, r, kx), expected, 1e-5 * expected + 1e-38) << r << ", " << kx;
            }
    }
}

class BothSpectra : public testing::TestWithParam<std::uint32_t> {};

// A real field: column kx = 0 holds conjugate pairs. Nothing at the mean and the Nyquist lines.
TEST_P(BothSpectra, HermitianColumnZeroAndEmptyNyquistLines) {
    for (int n : {16, 34}) {
        SCOPED_TRACE(n);
        const int h = n / 2;
        const std::vector<Complex> values = mirel::nativeSpectrum(spectrumConfig(n, 3, 11, GetParam()));
        ASSERT_EQ(values.size(), std::size_t(n) * (h + 1));
        EXPECT_EQ(at(values, n, 0, 0), 0.0);
        for (int r = 0; r < n; ++r) EXPECT_EQ(at(values, n, r, h), 0.0) << "column N/2, row " << r;
        for (int kx = 0; kx <= h; ++kx) EXPECT_EQ(at(values, n, h, kx), 0.0) << "row N/2, kx " << kx;
        for (int r = 1; r < h; ++r) {
            EXPECT_NE(at(values, n, r, 0), 0.0);
            EXPECT_EQ(at(values, n, n - r, 0), std::conj(at(values, n, r, 0))) << r;
        }
    }
}

TEST_P(BothSpectra, SameConfigurationSameBits) {
    const mirel::Config config = spectrumConfig(32, 4, 123456789, GetParam());
    const std::vector<Complex> first = mirel::nativeSpectrum(config);
    const std::vector<Complex> second = mirel::nativeSpectrum(config);
    EXPECT_EQ(std::memcmp(first.data(), second.data(), first.size() * sizeof(Complex)), 0);
    mirel::Config other = config;
    other.seed += 1;
    const std::vector<Complex> third = mirel::nativeSpectrum(other);
    EXPECT_NE(std::memcmp(first.data(), third.data(), first.size() * sizeof(Complex)), 0);
}

INSTANTIATE_TEST_SUITE_P(StartSpectra, BothSpectra, testing::Values(0u, 1u),
                         [](const testing::TestParamInfo<std::uint32_t>& info) {
                             return std::string(info.param == 0 ? "PAO" : "KM3");
                         });

TEST(StartSpectra, UnknownIndexGivesPAO) {
    const std::vector<Complex> pao = mirel::nativeSpectrum(spectrumConfig(16, 4, 5, 0));
    const std::vector<Complex> other = mirel::nativeSpectrum(spectrumConfig(16, 4, 5, 7));
    EXPECT_EQ(std::memcmp(pao.data(), other.data(), pao.size() * sizeof(Complex)), 0);
}

// Energy inside the disc |k| <= N/2, by shells s = round(|k|), over the half spectrum (columns
// 0 and N/2 count once, the others for both half planes).
std::vector<double> shellEnergies(const std::vector<Complex>& values, int n) {
    const int h = n / 2;
    std::vector<double> shells(h + 1, 0.0);
    for (int r = 0; r < n; ++r)
        for (int kx = 0; kx <= h; ++kx) {
            const int ky = rowWavenumber(r, n);
            const double k = std::sqrt(double(kx * kx + ky * ky));
            if (k == 0.0 || k > h) continue;
            shells[int(k + 0.5)] += (kx == 0 || kx == h ? 1.0 : 2.0) * modeEnergy(values, n, r, kx);
        }
    return shells;
}

// The KM3 target: k^4 below kr = max(k0, 1), k^-3 from there, continuous at kr.
double target(double k, double kr) { return k < kr ? std::pow(k, 4) / std::pow(kr, 7) : std::pow(k, -3); }

// "KM3" re-shapes the "PAO" field: the shells follow the target spectrum, the energy "PAO" had
// inside the disc is shared out among them, and the corners outside the disc are cleared.
TEST(Km3Spectrum, ShellsFollowTheTargetAndKeepTheDiscEnergy) {
    struct Case {
        int n, k0;
        std::uint64_t seed;
    };
    const Case cases[] = {{32, 1, 2}, {32, 4, 0}, {48, 3, 1ull << 60}, {16, 6, 9}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "N " << c.n << ", k0 " << c.k0 << ", seed " << c.seed);
        const int h = c.n / 2;
        const std::vector<Complex> pao = mirel::nativeSpectrum(spectrumConfig(c.n, c.k0, c.seed, 0));
        const std::vector<Complex> km3 = mirel::nativeSpectrum(spectrumConfig(c.n, c.k0, c.seed, 1));
        for (int r = 0; r < c.n; ++r)
            for (int kx = 0; kx <= h; ++kx) {
                const int ky = rowWavenumber(r, c.n);
                if (kx * kx + ky * ky > h * h) {
                    EXPECT_EQ(at(km3, c.n, r, kx), 0.0) << r << ", " << kx;
                }
            }
        const std::vector<double> shells = shellEnergies(km3, c.n);
        const double kr = c.k0 > 1 ? c.k0 : 1.0;
        const double scale = shells[1] / target(1, kr);
        double targetSum = 0.0;
        for (int s = 1; s <= h; ++s) targetSum += target(s, kr);
        for (int s = 2; s < h; ++s) EXPECT_NEAR(shells[s] / target(s, kr), scale, 1e-5 * scale) << "shell " << s;
        double paoDisc = 0.0, km3Disc = 0.0;
        for (double e : shellEnergies(pao, c.n)) paoDisc += e;
        for (double e : shells) km3Disc += e;
        EXPECT_NEAR(scale * targetSum, paoDisc, 1e-5 * paoDisc);
        EXPECT_LE(km3Disc, paoDisc * (1.0 + 1e-6)) << "the shell N/2 loses the share of the cleared row N/2";
        EXPECT_GT(km3Disc, 0.99 * paoDisc);
    }
}

// "KM3" draws nothing: its phases and amplitude weights come from a hash of the seed as a double,
// and the "PAO" field contributes only its energy, which the phases do not change. Seeds above
// 2^53 that round to the same double give one spectrum, though their "PAO" fields differ.
TEST(Km3Spectrum, SeedsThatRoundToOneDoubleGiveOneSpectrum) {
    constexpr int n = 16;
    const std::uint64_t seed = (1ull << 60) + 64;
    const std::vector<Complex> paoA = mirel::nativeSpectrum(spectrumConfig(n, 3, seed, 0));
    const std::vector<Complex> paoB = mirel::nativeSpectrum(spectrumConfig(n, 3, seed + 1, 0));
    EXPECT_GT(std::abs(at(paoA, n, 1, 1) - at(paoB, n, 1, 1)), 1e-3 * std::abs(at(paoA, n, 1, 1)));
    const std::vector<Complex> a = mirel::nativeSpectrum(spectrumConfig(n, 3, seed, 1));
    const std::vector<Complex> b = mirel::nativeSpectrum(spectrumConfig(n, 3, seed + 1, 1));
    for (int r = 0; r < n; ++r)
        for (int kx = 0; kx < n / 2; ++kx)
            EXPECT_LE(std::abs(at(b, n, r, kx) - at(a, n, r, kx)), 1e-5 * std::abs(at(a, n, r, kx))) << r << ", " << kx;
}

}  // namespace
