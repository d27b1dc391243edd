#include "bridge/library/clock.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>

namespace mirel {
namespace {

constexpr double framesPerSecond = 60.0;

}  // namespace

double nowSeconds() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    const std::int64_t nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
    return static_cast<double>(nanoseconds) / 1e9;
}

double nextFrameTime(double due, double now) {
    if (due == 0.0) return now + 1.0 / framesPerSecond;
    if (now < due) return due;
    return due + (std::floor((now - due) * framesPerSecond) + 1.0) / framesPerSecond;
}

}  // namespace mirel
