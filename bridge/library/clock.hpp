#pragma once

namespace mirel {

// Monotonic time in seconds; every pacing and rate of the UI paths uses it.
double nowSeconds();

// The due time of the next paced frame, sixty a second, after one taken or shown at now: 1/60 s
// on while none is due yet (due 0), due itself while it lies ahead, else the next slot of the
// 1/60 s grid through due after now, skipping the slots that were missed, never catching up.
double nextFrameTime(double due, double now);

}  // namespace mirel
