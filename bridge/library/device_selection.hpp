#pragma once

namespace mirel {

// The CUDA device that qm_initialize chose; 0 until it has run. Engine functions select it on
// the calling thread before any work.
int recordedDevice();
void recordDevice(int device);

}  // namespace mirel
