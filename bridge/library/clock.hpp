#pragma once

namespace mirel {

// Monotonic time in seconds; every pacing and rate of the UI paths uses it.
double nowSeconds();

}  // namespace mirel
