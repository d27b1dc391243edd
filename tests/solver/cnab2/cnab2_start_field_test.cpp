// The CNAB2 configuration rules and its seeded start field, built on the host: the generator
// sequence, the symmetries every real divergence-free field must have, and the shell rebuild.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "solver/cnab2/pao.hpp"
#include "support/two_pi.hpp"

namespace {

using mirel::Complex;
using mirel::legacy::Config;
using mirel::legacy::InitialField;

constexpr double pi = 3.141592653589793;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();
const std::string invalidMessage =
    "Legacy mode requires power-of-two N=16..16384, positive Re/K0/CFL, steps>=0, update>0, seed=1..5010.";

Config config(int n, std::int32_t seed = 1, std::uint32_t startSpectrum = 0, double k0 = 4.0) {
    Config c;
    c.N = n;
    c.steps = 0;
    c.update = 100;
    c.seed = seed;
    c.Re = 1000.0;
    c.K0 = k0;
    c.CFL = 0.5;
    c.dt = 0.0f;
    c.startSpectrum = startSpectrum;
    return c;
}

std::int64_t draw(std::int64_t x) { return (420029 * x + 2017) % 5011; }

double norm2(Complex c) { return double(c.re) * c.re + double(c.im) * c.im; }

// Read access to one plane of a legacy half spectrum: row r (ky = wave(r, N)), column kx.
struct Plane {
    const std::vector<Complex>& values;
    std::size_t offset;
    int n;
    Complex at(int r, int kx) const { return values[offset + static_cast<std::size_t>(r) * (n / 2) + kx]; }
};

Plane uPlane(const InitialField& f, int n) { return {f.velocity, 0, n}; }
Plane vPlane(const InitialField& f, int n) { return {f.velocity, static_cast<std::size_t>(n) * (n / 2), n}; }
Plane omegaPlane(const InitialField& f, int n) { return {f.omega, 0, n}; }

// Weighted |u|^2 + |v|^2 per shell s = round(k) for 0 < k <= N/2 (index 0 unused).
std::vector<double> shellEnergies(const InitialField& f, int n) {
    const int h = n / 2;
    std::vector<double> shells(h + 1, 0.0);
    for (int r = 0; r < n; ++r) {
        const int ky = mirel::legacy::wave(r, n);
        for (int kx = 0; kx < h; ++kx) {
            const double k = std::sqrt(double(kx * kx + ky * ky));
            if (k <= 0.0 || k > h) continue;
            const int s = static_cast<int>(k + 0.5);
            if (s > h) continue;
            shells[s] += (kx == 0 ? 1.0 : 2.0) * (norm2(uPlane(f, n).at(r, kx)) + norm2(vPlane(f, n).at(r, kx)));
        }
    }
    return shells;
}

TEST(CNAB2Configuration, ValidationRules) {
    struct Case {
        const char* name;
        std::function<void(Config&)> change;
        bool valid;
    };
    const Case cases[] = {
        {"base", [](Config&) {}, true},
        {"N=16", [](Config& c) { c.N = 16; }, true},
        {"N=16384", [](Config& c) { c.N = 16384; }, true},
        {"N=8", [](Config& c) { c.N = 8; }, false},
        {"N=48", [](Config& c) { c.N = 48; }, false},
        {"N=32768", [](Config& c) { c.N = 32768; }, false},
        {"N=-16", [](Config& c) { c.N = -16; }, false},
        {"steps=-1", [](Config& c) { c.steps = -1; }, false},
        {"update=0", [](Config& c) { c.update = 0; }, false},
        {"update=1", [](Config& c) { c.update = 1; }, true},
        {"seed=1", [](Config& c) { c.seed = 1; }, true},
        {"seed=5010", [](Config& c) { c.seed = 5010; }, true},
        {"seed=0", [](Config& c) { c.seed = 0; }, false},
        {"seed=-1", [](Config& c) { c.seed = -1; }, false},
        {"seed=5011", [](Config& c) { c.seed = 5011; }, false},
        {"Re=0", [](Config& c) { c.Re = 0.0; }, false},
        {"Re=-1", [](Config& c) { c.Re = -1.0; }, false},
        {"Re=NaN", [](Config& c) { c.Re = nan; }, false},
        {"Re=inf", [](Config& c) { c.Re = infinity; }, false},
        {"Re beyond float", [](Config& c) { c.Re = 1e39; }, false},
        {"K0=0", [](Config& c) { c.K0 = 0.0; }, false},
        {"K0=NaN", [](Config& c) { c.K0 = nan; }, false},
        {"K0 beyond float", [](Config& c) { c.K0 = 1e39; }, false},
        {"K0=1e20", [](Config& c) { c.K0 = 1e20; }, true},
        {"CFL=0", [](Config& c) { c.CFL = 0.0; }, false},
        {"CFL=NaN", [](Config& c) { c.CFL = nan; }, false},
        {"CFL beyond float", [](Config& c) { c.CFL = 1e39; }, false},
        {"start spectrum 1", [](Config& c) { c.startSpectrum = 1; }, true},
        {"start spectrum 2", [](Config& c) { c.startSpectrum = 2; }, false},
        {"dt=0", [](Config& c) { c.dt = 0.0f; }, true},
        {"dt=0.01", [](Config& c) { c.dt = 0.01f; }, true},
        {"dt=-0.5", [](Config& c) { c.dt = -0.5f; }, false},
        {"dt=NaN", [](Config& c) { c.dt = std::numeric_limits<float>::quiet_NaN(); }, false},
        {"dt=inf", [](Config& c) { c.dt = std::numeric_limits<float>::infinity(); }, false},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        Config c = config(32);
        test.change(c);
        if (test.valid) {
            EXPECT_NO_THROW(c.validate());
            continue;
        }
        for (const std::function<void()>& call : {std::function<void()>([&] { c.validate(); }),
                                                  std::function<void()>([&] { mirel::legacy::initialize(c); })}) {
            try {
                call();
                ADD_FAILURE() << "accepted";
            } catch (const std::invalid_argument& error) {
                EXPECT_EQ(error.what(), invalidMessage);
            }
        }
    }
}

TEST(CNAB2StartField, GeneratorSequenceAndDrawCount) {
    // By hand: 420029 = 83 * 5011 + 4116 and 5010 = -1 (mod 5011).
    // seed 1: 4116 + 2017 = 6133 -> 1122; 4116 * 1122 + 2017 = 4620169 = 922 * 5011 + 27;
    // 4116 * 27 + 2017 = 113149 = 22 * 5011 + 2907. seed 5010: -4116 + 2017 = -2099 -> 2912.
    EXPECT_EQ(draw(1), 1122);
    EXPECT_EQ(draw(1122), 27);
    EXPECT_EQ(draw(27), 2907);
    EXPECT_EQ(draw(5010), 2912);

    // 97 discarded, 97 into the shuffle table, then one per stored mode, overwritten ones included.
    for (const int n : {16, 32}) {
        for (const std::int32_t seed : {1, 2, 5010}) {
            SCOPED_TRACE(testing::Message() << "N=" << n << " seed " << seed);
            std::int64_t x = seed;
            for (int i = 0; i < 97 + 97 + n * n / 2; ++i) x = draw(x);
            EXPECT_EQ(mirel::legacy::initialize(config(n, seed)).lcgState, x);
        }
    }
}

TEST(CNAB2StartField, GaussianModesTakeTheirPhaseFromTheShuffleTable) {
    // An independent replay of the shuffled generator predicts the phase of every mode that is
    // not overwritten by the symmetry rules; the amplitude follows exp(-(k/K0)^2) / (pi K0^2).
    const int n = 16, h = n / 2;
    const double k0 = 3.0;
    const InitialField field = mirel::legacy::initialize(config(n, 7, 0, k0));
    std::int64_t x = 7;
    for (int i = 0; i < 97; ++i) x = draw(x);
    float table[97];
    for (float& entry : table) entry = static_cast<float>(x = draw(x)) / 5011.0f;
    int checked = 0;
    for (int r = 0; r < n; ++r) {
        const int ky = mirel::legacy::wave(r, n);
        for (int kx = 0; kx < h; ++kx) {
            const float y = static_cast<float>(x = draw(x)) / 5011.0f;
            const int j = std::min(96, static_cast<int>(97.0 * y));
            const double theta = static_cast<double>(test::twoPiSingle * table[j]);
            table[j] = y;
            if (r == h || (kx == 0 && (r == 0 || r > h))) continue;
            SCOPED_TRACE(testing::Message() << "row " << r << " kx " << kx);
            const Complex carrier = kx == 0 ? uPlane(field, n).at(r, 0) : vPlane(field, n).at(r, kx);
            const double energy = norm2(uPlane(field, n).at(r, kx)) + norm2(vPlane(field, n).at(r, kx));
            const double k2 = double(kx * kx + ky * ky);
            // expf of the single-precision -(k/K0)^2 is good to about 1e-7 (k/K0)^2.
            EXPECT_NEAR(energy, std::exp(-k2 / (k0 * k0)) / (pi * k0 * k0), 1e-6 * (1.0 + k2 / (k0 * k0)) * energy);
            const double amplitude = std::sqrt(norm2(carrier));
            EXPECT_NEAR(carrier.re, amplitude * std::cos(theta), 2e-6 * amplitude);
            EXPECT_NEAR(carrier.im, amplitude * std::sin(theta), 2e-6 * amplitude);
            ++checked;
        }
    }
    EXPECT_EQ(checked, (h - 1) * (n - 1) + (h - 1));
}

TEST(CNAB2StartField, RealDivergenceFreeFieldWithLegacyVorticity) {
    for (const int n : {16, 32}) {
        for (const std::uint32_t start : {0u, 1u}) {
            for (const std::int32_t seed : {1, 5010}) {
                SCOPED_TRACE(testing::Message() << "N=" << n << " start spectrum " << start << " seed " << seed);
                const int h = n / 2;
                const Config c = config(n, seed, start);
                const InitialField field = mirel::legacy::initialize(c);
                ASSERT_EQ(field.velocity.size(), static_cast<std::size_t>(n) * n);
                ASSERT_EQ(field.omega.size(), static_cast<std::size_t>(n) * h);
                const Plane u = uPlane(field, n), v = vPlane(field, n), omega = omegaPlane(field, n);

                for (const Plane* p : {&u, &v, &omega}) {
                    EXPECT_EQ(p->at(0, 0).re, 0.0f);
                    EXPECT_EQ(p->at(0, 0).im, 0.0f);
                    for (int d = 1; d < h; ++d) {
                        EXPECT_EQ(p->at(n - d, 0).re, p->at(d, 0).re) << "row " << d;
                        EXPECT_EQ(p->at(n - d, 0).im, -p->at(d, 0).im) << "row " << d;
                    }
                }
                for (int r = 0; r < n; ++r) EXPECT_EQ(norm2(v.at(r, 0)), 0.0) << "row " << r;

                double squareVelocity = 0.0, squareVorticity = 0.0;
                int nyquist = 0;
                for (int r = 0; r < n; ++r) {
                    const int ky = mirel::legacy::wave(r, n);
                    for (int kx = 0; kx < h; ++kx) {
                        const Complex cu = u.at(r, kx), cv = v.at(r, kx), w = omega.at(r, kx);
                        const double size = std::sqrt(norm2(cu) + norm2(cv)) * (kx + std::abs(ky));
                        EXPECT_NEAR(kx * double(cu.re) + ky * double(cv.re), 0.0, 1e-6 * size);
                        EXPECT_NEAR(kx * double(cu.im) + ky * double(cv.im), 0.0, 1e-6 * size);
                        EXPECT_NEAR(w.re, kx * double(cv.im) - ky * double(cu.im), 1e-6 * size);
                        EXPECT_NEAR(w.im, ky * double(cu.re) - kx * double(cv.re), 1e-6 * size);
                        if (r == h && (norm2(cu) + norm2(cv) + norm2(w)) > 0.0) ++nyquist;
                        const double weight = kx == 0 ? 1.0 : 2.0;
                        squareVelocity += weight * (norm2(cu) + norm2(cv));
                        squareVorticity += weight * (kx * kx + ky * ky) * (norm2(cu) + norm2(cv));
                    }
                }
                // The rebuild gives the column-0 mode of ky = -N/2 (k = N/2, inside the disc) a
                // value of its own; the Gaussian field keeps the whole Nyquist row zero.
                EXPECT_EQ(nyquist, start == 1 ? 1 : 0);
                if (start == 1) {
                    EXPECT_GT(norm2(u.at(h, 0)), 0.0);
                    EXPECT_EQ(norm2(v.at(h, 0)), 0.0);
                }
                EXPECT_NEAR(field.meanSquareVelocity, squareVelocity, 1e-12 * squareVelocity);
                EXPECT_NEAR(field.meanSquareVorticity, squareVorticity, 1e-12 * squareVorticity);
                EXPECT_EQ(field.viscosity, 1.0f / 1000.0f);

                const InitialField again = mirel::legacy::initialize(c);
                EXPECT_EQ(
                    std::memcmp(again.velocity.data(), field.velocity.data(), field.velocity.size() * sizeof(Complex)),
                    0);
                EXPECT_EQ(std::memcmp(again.omega.data(), field.omega.data(), field.omega.size() * sizeof(Complex)), 0);
            }
        }
    }
}

TEST(CNAB2StartField, RebuildKeepsTheEnergyAndGivesEveryShellItsTarget) {
    // Below kr = max(1, K0) the target rises as (k/kr)^4 / kr^3, from kr on it falls as k^-3;
    // each shell then holds its share of the Gaussian field's total.
    for (const double k0 : {4.0, 2.5, 0.5}) {
        for (const int n : {16, 32}) {
            SCOPED_TRACE(testing::Message() << "N=" << n << " K0 " << k0);
            const int h = n / 2;
            const std::vector<double> before = shellEnergies(mirel::legacy::initialize(config(n, 3, 0, k0)), n);
            const std::vector<double> after = shellEnergies(mirel::legacy::initialize(config(n, 3, 1, k0)), n);
            const double kr = std::max(1.0, k0);
            double sumBefore = 0.0, sumAfter = 0.0, sumTarget = 0.0;
            std::vector<double> target(h + 1, 0.0);
            for (int s = 1; s <= h; ++s) {
                target[s] = s < kr ? std::pow(s / kr, 4) / std::pow(kr, 3) : std::pow(s, -3.0);
                sumBefore += before[s];
                sumAfter += after[s];
                sumTarget += target[s];
            }
            EXPECT_NEAR(sumAfter, sumBefore, 1e-6 * sumBefore);
            for (int s = 1; s <= h; ++s)
                EXPECT_NEAR(after[s], sumBefore * target[s] / sumTarget, 1e-6 * after[s]) << "shell " << s;
        }
    }
}

TEST(CNAB2StartField, PeakBeyondSinglePrecisionGivesAZeroField) {
    // pi K0^2 overflows in single precision, so every amplitude is zero.
    // The rebuild has no energy to share out and leaves the field as it is.
    for (const std::uint32_t start : {0u, 1u}) {
        SCOPED_TRACE(testing::Message() << "start spectrum " << start);
        const InitialField field = mirel::legacy::initialize(config(16, 1, start, 1e20));
        for (const Complex c : field.velocity) EXPECT_EQ(norm2(c), 0.0);
        for (const Complex c : field.omega) EXPECT_EQ(norm2(c), 0.0);
        EXPECT_EQ(field.meanSquareVelocity, 0.0);
    }
}

}  // namespace
