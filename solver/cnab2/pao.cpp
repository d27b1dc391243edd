#include "solver/cnab2/pao.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "solver/common/shell_spectrum.hpp"
#include "solver/common/two_pi.hpp"
#include "solver/common/viscosity.hpp"

namespace mirel::legacy {
namespace {

constexpr float largestFloat = std::numeric_limits<float>::max();

bool finiteFloat(double value) { return std::fabs(static_cast<float>(value)) <= largestFloat; }

// x -> (420029 x + 2017) mod 5011, yielding x / 5011.
class Generator {
public:
    explicit Generator(std::int32_t seed) : x(seed) {}

    float draw() {
        x = static_cast<std::int32_t>((420029LL * x + 2017LL) % 5011LL);
        return static_cast<float>(x) / 5011.0f;
    }

    std::int32_t state() const { return x; }

private:
    std::int32_t x;
};

// One legacy half-spectrum plane.
class Plane {
public:
    Plane(std::vector<Complex>& values, std::size_t offset, int half) : values(values), offset(offset), half(half) {}

    Complex& at(int r, int kx) { return values[offset + static_cast<std::size_t>(r) * half + kx]; }

private:
    std::vector<Complex>& values;
    std::size_t offset;
    int half;
};

double squared(Complex c) { return static_cast<double>(c.re) * c.re + static_cast<double>(c.im) * c.im; }

void rebuildShells(const Config& config, Plane u, Plane v) {
    const int n = config.N;
    const int h = n / 2;
    std::vector<double> energy(h + 1, 0.0), weight(h + 1, 0.0), target(h + 1, 0.0);
    // Calls visit(r, kx, ky, k, shell, hash input) for every mode, columns outer; shell 0 marks a
    // mode outside the disc 0 < k <= h.
    const auto forModes = [&](auto visit) {
        for (int kx = 0; kx < h; ++kx) {
            for (int r = 0; r < n; ++r) {
                const int ky = wave(r, n);
                const double k = std::sqrt(static_cast<double>(kx * kx + ky * ky));
                const int s = k > 0.0 && k <= h ? static_cast<int>(k + 0.5) : 0;
                const int hashRow = kx >= 1 || r <= h ? r : n - r;
                visit(r, kx, ky, s <= h ? s : 0, shell::hashInput(hashRow, kx, config.seed));
            }
        }
    };
    forModes([&](int r, int kx, int, int s, double a) {
        if (s == 0) return;
        const double e = squared(u.at(r, kx)) + squared(v.at(r, kx));
        energy[s] += kx == 0 ? e : 2 * e;
        weight[s] += kx == 0 ? shell::weight(a) : 2 * shell::weight(a);
    });
    const double kr = static_cast<double>(static_cast<float>(config.K0)) > 1.0
                          ? static_cast<double>(static_cast<float>(config.K0))
                          : 1.0;
    double sumEnergy = 0.0, sumTarget = 0.0;
    for (int k = 1; k <= h; ++k) {
        target[k] = shell::target(k, kr);
        sumEnergy += energy[k];
        sumTarget += target[k];
    }
    if (!(sumEnergy > 0.0) || !(sumTarget > 0.0)) return;
    const double scale = sumEnergy / sumTarget;
    forModes([&](int r, int kx, int ky, int s, double a) {
        if (s == 0 || !(weight[s] > 0.0)) {
            u.at(r, kx) = Complex{0.0f, 0.0f};
            v.at(r, kx) = Complex{0.0f, 0.0f};
            return;
        }
        double a2 = shell::weight(a) * scale * target[s] / weight[s];
        if (kx >= 1) a2 /= (static_cast<double>(ky) * ky) / (static_cast<double>(kx) * kx) + 1.0;
        const float amplitude = static_cast<float>(std::sqrt(a2));
        double phi = twoPi * shell::phase(a);
        if (kx == 0 && r > h) phi = -phi;
        const Complex value{amplitude * static_cast<float>(std::cos(phi)), amplitude * static_cast<float>(std::sin(phi))};
        if (kx == 0) {
            u.at(r, kx) = value;
            v.at(r, kx) = Complex{0.0f, 0.0f};
        } else {
            const float t = static_cast<float>(-static_cast<double>(ky) / kx);
            v.at(r, kx) = value;
            u.at(r, kx) = Complex{t * value.re, t * value.im};
        }
    });
}

}  // namespace

void Config::validate() const {
    const bool valid = N >= 16 && N <= 16384 && (N & (N - 1)) == 0 && steps >= 0 && update > 0 &&
                       static_cast<std::uint32_t>(seed) - 1u <= 5009u && cnab2ViscosityValid(Re) && K0 > 0.0 && CFL > 0.0 &&
                       startSpectrum <= 1 && finiteFloat(K0) && finiteFloat(CFL) && !(dt < 0.0f) &&
                       std::fabs(dt) <= largestFloat;
    if (!valid)
        throw std::invalid_argument(
            "Legacy mode requires power-of-two N=16..16384, positive Re/K0/CFL, steps>=0, update>0, seed=1..5010.");
}

InitialField initialize(const Config& config) {
    config.validate();
    const int n = config.N;
    const int h = n / 2;
    const std::size_t plane = static_cast<std::size_t>(n) * h;
    InitialField field;
    field.velocity.assign(2 * plane, Complex{0.0f, 0.0f});
    field.omega.assign(plane, Complex{0.0f, 0.0f});
    Plane u(field.velocity, 0, h);
    Plane v(field.velocity, plane, h);

    Generator generator(config.seed);
    float table[97];
    for (int i = 0; i < 97; ++i) generator.draw();
    for (float& entry : table) entry = generator.draw();

    const float k0 = static_cast<float>(config.K0);
    const float d = (3.1415927f * k0) * k0;
    for (int r = 0; r < n; ++r) {
        const float ky = static_cast<float>(wave(r, n));
        for (int kx = 0; kx < h; ++kx) {
            const float y = generator.draw();
            int j = static_cast<int>(97.0 * static_cast<double>(y));
            j = j < 0 ? 0 : j > 96 ? 96
                                   : j;
            const float theta = twoPiSingle * table[j];
            table[j] = y;
            float sine = 0.0f, cosine = 0.0f;
            sincosf(theta, &sine, &cosine);
            if (kx == 0) {
                const float q = sqrtf(ky * ky) / k0;
                const float a = sqrtf(expf(-q * q) / d);
                u.at(r, 0) = Complex{a * cosine, a * sine};
            } else {
                const float fx = static_cast<float>(kx);
                const float q = sqrtf(ky * ky + fx * fx) / k0;
                const float a = sqrtf(expf(-q * q) / (((ky * ky) / (fx * fx) + 1.0f) * d));
                const Complex value{a * cosine, a * sine};
                const float s = -(ky / fx);
                v.at(r, kx) = value;
                u.at(r, kx) = Complex{s * value.re, s * value.im};
            }
        }
    }

    u.at(0, 0) = Complex{0.0f, 0.0f};
    v.at(0, 0) = Complex{0.0f, 0.0f};
    for (Plane* p : {&u, &v}) {
        for (int row = 1; row < h; ++row) {
            const Complex mirror = p->at(row, 0);
            p->at(n - row, 0) = Complex{mirror.re, -mirror.im};
        }
        for (int kx = 0; kx < h; ++kx) p->at(h, kx) = Complex{0.0f, 0.0f};
    }
    if (config.startSpectrum == 1) rebuildShells(config, u, v);

    Plane omega(field.omega, 0, h);
    for (int r = 0; r < n; ++r) {
        const float ky = static_cast<float>(wave(r, n));
        for (int kx = 0; kx < h; ++kx) {
            const float fx = static_cast<float>(kx);
            const Complex cu = u.at(r, kx);
            const Complex cv = v.at(r, kx);
            omega.at(r, kx) = Complex{fx * cv.im - ky * cu.im, ky * cu.re - fx * cv.re};
            const double w = kx == 0 ? 1.0 : 2.0;
            const double e = squared(cu) + squared(cv);
            field.meanSquareVelocity += w * e;
            field.meanSquareVorticity += w * (kx * kx + static_cast<double>(ky) * ky) * e;
        }
    }
    field.viscosity = 1.0f / static_cast<float>(config.Re);
    field.lcgState = generator.state();
    return field;
}

}  // namespace mirel::legacy
