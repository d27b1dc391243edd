#pragma once

#include <cmath>

// The shell rebuild shared by the native "KM3" start spectrum and the CNAB2 start field: hashed
// per-mode weights and phases, and the k^4 / k^-3 shell target.
namespace mirel::shell {

inline double fract(double x) { return x - std::floor(x); }

// The hash input of a mode of hash row r and column kx.
inline double hashInput(int r, int kx, double seed) {
    return ((r + 1) * 78.233 + (kx + 1) * 12.9898) + (seed + 1) * 0.010001;
}

// Amplitude weight in [0.75, 1.25).
inline double weight(double a) { return fract(std::sin(a + 678.942) * 43758.5453123) * 0.5 + 0.75; }

// Phase fraction in [0, 1).
inline double phase(double a) { return fract(std::sin(a + 2036.826) * 43758.5453123); }

// Shell energy target: rising as k^4 below kr, falling as k^-3 from there.
inline double target(int k, double kr) {
    if (k < kr) {
        const double q = k / kr;
        return (q * ((q * q) * q)) / ((kr * kr) * kr);
    }
    return 1.0 / (k * (static_cast<double>(k) * k));
}

}  // namespace mirel::shell
