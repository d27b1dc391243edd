#pragma once

// What the field shading must show, evaluated on the host in double precision from the palette
// formulas and periodic bilinear sampling, independently of the GLSL that draws it.

#include <algorithm>
#include <cmath>

#include "renderer/renderer.hpp"
#include "test_frames.hpp"

namespace test::model {

struct Color {
    double r, g, b;
};

inline Color mix(Color a, Color b, double t) {
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

inline double smoothstep(double e0, double e1, double x) {
    const double t = std::clamp((x - e0) / (e1 - e0), 0.0, 1.0);
    return t * t * (3.0 - 2.0 * t);
}

inline constexpr Color infernoStops[6] = {{.001, .000, .014}, {.258, .039, .406}, {.578, .148, .404}, {.865, .317, .226}, {.988, .645, .040}, {.988, .998, .645}};

inline Color inferno(double t) {
    const double p = std::clamp(t, 0.0, 1.0) * 5.0;
    const int i = std::min(static_cast<int>(p), 4);
    return mix(infernoStops[i], infernoStops[i + 1], p - i);
}

inline Color signedColor(mirel::Palette palette, double value) {
    if (palette == mirel::Palette::inferno) return inferno(0.5 + 0.5 * std::clamp(value, -1.0, 1.0));
    const double amount = std::clamp(std::fabs(value), 0.0, 1.0);
    const bool positive = value >= 0.0;
    const Color base{.017, .026, .055};
    Color middle, bright;
    switch (palette) {
        case mirel::Palette::ember:
            middle = positive ? Color{.92, .19, .065} : Color{.28, .17, .69};
            bright = positive ? Color{1, .88, .43} : Color{.76, .64, 1};
            break;
        case mirel::Palette::glacier:
            middle = positive ? Color{.01, .46, .78} : Color{.14, .24, .68};
            bright = positive ? Color{.70, 1, .99} : Color{.70, .79, 1};
            break;
        default:
            middle = positive ? Color{.025, .60, .58} : Color{.48, .20, .79};
            bright = positive ? Color{.48, 1, .84} : Color{.94, .67, 1};
    }
    return mix(mix(base, middle, smoothstep(0, .60, amount)), bright, smoothstep(.34, 1, amount));
}

inline Color speedColor(mirel::Palette palette, double value) {
    if (palette == mirel::Palette::inferno) return inferno(value);
    const double amount = std::clamp(value, 0.0, 1.0);
    const Color low{.019, .028, .063};
    Color mid, high;
    switch (palette) {
        case mirel::Palette::ember: mid = {.67, .10, .17}, high = {1, .86, .41}; break;
        case mirel::Palette::glacier: mid = {.02, .33, .72}, high = {.73, .97, 1}; break;
        default: mid = {.30, .17, .63}, high = {.36, 1, .80};
    }
    return mix(mix(low, mid, smoothstep(0, .50, amount)), high, smoothstep(.32, 1, amount));
}

// Texel (x, y) sits at (x, y) / N; the grid wraps around.
inline double sample(const HostFrame& f, int plane, double u, double v) {
    const double px = (u - std::floor(u)) * f.n, py = (v - std::floor(v)) * f.n;
    const int ax = static_cast<int>(std::floor(px)), ay = static_cast<int>(std::floor(py));
    const int bx = (ax + 1) % f.n, by = (ay + 1) % f.n;
    const double fx = px - ax, fy = py - ay;
    const double lo = f.at(plane, ax, ay) * (1 - fx) + f.at(plane, bx, ay) * fx;
    const double hi = f.at(plane, ax, by) * (1 - fx) + f.at(plane, bx, by) * fx;
    return lo * (1 - fy) + hi * fy;
}

// The colour at (u, v) of the square, measured from its lower left corner.
inline Color shade(const HostFrame& f, const mirel::Display& d, double u, double v) {
    const double e = std::max(static_cast<double>(d.exposure), .02);
    const double vorticityScale = d.field == mirel::Field::vorticity && d.colorRange == mirel::ColorRange::sigma
                                      ? std::max(1e-12, static_cast<double>(d.sigma) * f.std)
                                      : std::max(1e-4, static_cast<double>(f.maxVorticity));
    const double speedScale = std::max(1e-4, static_cast<double>(f.maxSpeed));
    if (d.field == mirel::Field::vorticity) {
        const double omega = sample(f, 0, u, v);
        const double value = d.colorRange == mirel::ColorRange::sigma ? std::clamp((omega - f.mean) / vorticityScale, -1.0, 1.0)
                                                                      : std::tanh(omega / vorticityScale * e * 2.4);
        return signedColor(d.palette, value);
    }
    if (d.field == mirel::Field::speed) {
        const double speed = std::hypot(sample(f, 1, u, v), sample(f, 2, u, v));
        return speedColor(d.palette, 1 - std::exp(-speed / speedScale * e * 2.1));
    }
    const double w = sample(f, 0, u, v) / vorticityScale;
    return speedColor(d.palette, 1 - std::exp(-w * w * e * 8));
}

inline int byte(double channel) { return static_cast<int>(std::lround(std::clamp(channel, 0.0, 1.0) * 255.0)); }

}  // namespace test::model
