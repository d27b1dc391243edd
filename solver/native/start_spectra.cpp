#include "solver/native/start_spectra.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "solver/common/shell_spectrum.hpp"
#include "solver/common/two_pi.hpp"

namespace mirel {
namespace {

// splitmix64 phases: the top 24 bits of each draw scaled to [0, 2 pi).
class Phases {
public:
    explicit Phases(std::uint64_t seed) : state(seed + golden) {}

    void draw(float& sine, float& cosine) {
        state += golden;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        z = z ^ (z >> 31);
        const float phase = (static_cast<float>(z >> 40) * 5.9604645e-08f) * twoPiSingle;
        sincosf(phase, &sine, &cosine);
    }

private:
    static constexpr std::uint64_t golden = 0x9e3779b97f4a7c15ull;
    std::uint64_t state;
};

// A Gaussian energy spectrum around k0 with one random phase per mode.
std::vector<Complex> pao(const Config& config) {
    const int n = config.resolution;
    const int h = n / 2;
    const int columns = h + 1;
    const float k0 = static_cast<float>(config.k0);
    const float d = (3.1415927f * k0) * k0;
    const float n2 = static_cast<float>(n * n);
    std::vector<Complex> values(static_cast<std::size_t>(n) * columns, Complex{0.0f, 0.0f});
    Phases phases(config.seed);
    float sine = 0.0f, cosine = 0.0f;
    for (int r = 0; r < n; ++r) {
        const int ky = r <= h ? r : r - n;
        if (std::abs(ky) >= h) continue;
        const float fy = static_cast<float>(ky);
        if (ky > 0) {
            phases.draw(sine, cosine);
            const float a = sqrtf(expf(-static_cast<float>(ky * ky) / (k0 * k0)) / d);
            const Complex value{((sine * a) * fy) * n2, (0.0f - (cosine * a) * fy) * n2};
            values[static_cast<std::size_t>(r) * columns] = value;
            values[static_cast<std::size_t>((n - r) % n) * columns] = Complex{value.re, -value.im};
        }
        for (int kx = 1; kx < h; ++kx) {
            phases.draw(sine, cosine);
            const float fx = static_cast<float>(kx);
            const float ratio = fy / fx;
            const float a = sqrtf((expf(-static_cast<float>(kx * kx + ky * ky) / (k0 * k0)) / d) / (ratio * ratio + 1.0f));
            const float sa = sine * a;
            const float ca = cosine * a;
            values[static_cast<std::size_t>(r) * columns + kx] =
                Complex{-(fx * sa - (sa * (-ratio)) * fy) * n2, (fx * ca - (ca * (-ratio)) * fy) * n2};
        }
    }
    return values;
}

// Hashed amplitude weight and phase fraction of one mode of "KM3"; column 0 hashes a mode and
// its mirror row alike.
struct Hash {
    double alpha;
    double beta;
};

Hash hash(int r, int kx, int n, std::uint64_t seed) {
    const int hashRow = kx == 0 && r > n / 2 ? n - r : r;
    const double a = shell::hashInput(hashRow, kx, static_cast<double>(seed));
    return {shell::weight(a), shell::phase(a)};
}

// Visits the modes of columns 0 .. h-1 that lie in the disc 0 < |k| <= h, columns outer, rows
// inner, row h counting as ky = -h; visit(r, kx, ky, |k|^2, shell).
template <typename Visit>
void forDiscModes(int n, Visit visit) {
    const int h = n / 2;
    for (int kx = 0; kx < h; ++kx) {
        for (int r = 0; r < n; ++r) {
            const int ky = r < h ? r : r - n;
            const int k2 = kx * kx + ky * ky;
            const double k = std::sqrt(static_cast<double>(k2));
            const bool inside = k > 0.0 && k <= h;
            visit(r, kx, ky, k2, inside ? static_cast<int>(k + 0.5) : 0);
        }
    }
}

// Re-shapes the "PAO" field shell by shell to a k^4 / k^-3 target with hashed amplitudes and
// phases, keeping the energy inside the disc |k| <= N/2.
std::vector<Complex> km3(const Config& config, std::vector<Complex> values) {
    const int n = config.resolution;
    const int h = n / 2;
    const int columns = h + 1;
    const double n2 = static_cast<double>(static_cast<float>(n * n));
    std::vector<double> energy(h + 1, 0.0), weight(h + 1, 0.0), target(h + 1, 0.0);

    forDiscModes(n, [&](int r, int kx, int, int k2, int shell) {
        if (shell == 0) return;
        const Complex v = values[static_cast<std::size_t>(r) * columns + kx];
        const double re = v.re, im = v.im;
        const double x = (re * re + im * im) / ((n2 * n2) * k2);
        const double alpha = hash(r, kx, n, config.seed).alpha;
        energy[shell] += kx == 0 ? x : x + x;
        weight[shell] += kx == 0 ? alpha : alpha + alpha;
    });

    const double kr = config.k0 > 1 ? static_cast<double>(config.k0) : 1.0;
    double sumEnergy = 0.0, sumTarget = 0.0;
    for (int k = 1; k <= h; ++k) {
        target[k] = shell::target(k, kr);
        sumEnergy += energy[k];
        sumTarget += target[k];
    }
    if (!(sumEnergy > 0.0) || !(sumTarget > 0.0)) return values;
    const double scale = sumEnergy / sumTarget;
    const float fn2 = static_cast<float>(n * n);

    forDiscModes(n, [&](int r, int kx, int ky, int, int shell) {
        Complex& out = values[static_cast<std::size_t>(r) * columns + kx];
        if (r == h || shell == 0 || !(weight[shell] > 0.0)) {
            out = Complex{0.0f, 0.0f};
            return;
        }
        const Hash mode = hash(r, kx, n, config.seed);
        double a2 = (mode.alpha * (scale * target[shell])) / weight[shell];
        if (kx > 0) a2 /= (static_cast<double>(ky) * ky) / (static_cast<double>(kx) * kx) + 1.0;
        const double a = std::sqrt(a2);
        const double theta = mode.beta * (kx == 0 && r > h ? -twoPi : twoPi);
        double sine = 0.0, cosine = 0.0;
        sincos(theta, &sine, &cosine);
        const float sa = static_cast<float>(sine) * static_cast<float>(a);
        const float ca = static_cast<float>(cosine) * static_cast<float>(a);
        const float fx = static_cast<float>(kx);
        const float fy = static_cast<float>(ky);
        if (kx == 0) {
            out = Complex{(sa * fy) * fn2, (0.0f - ca * fy) * fn2};
        } else {
            const float ratio = static_cast<float>(-static_cast<double>(ky) / kx);
            out = Complex{(-fx * sa + fy * (ratio * sa)) * fn2, (fx * ca - fy * (ratio * ca)) * fn2};
        }
    });
    return values;
}

}  // namespace

std::vector<Complex> nativeSpectrum(const Config& config) {
    std::vector<Complex> values = pao(config);
    return config.startSpectrum == 1 ? km3(config, std::move(values)) : values;
}

}  // namespace mirel
