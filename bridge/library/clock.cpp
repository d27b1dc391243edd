#include "bridge/library/clock.hpp"

#include <chrono>
#include <cstdint>

namespace mirel {

double nowSeconds() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    const std::int64_t nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
    return static_cast<double>(nanoseconds) / 1e9;
}

}  // namespace mirel
