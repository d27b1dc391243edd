#include "bridge/library/device_selection.hpp"

#include <atomic>

namespace mirel {
namespace {

// Written by qm_initialize on the main thread, read by engine calls on any host thread.
std::atomic<int> deviceId{0};

}  // namespace

int recordedDevice() { return deviceId.load(); }

void recordDevice(int device) { deviceId.store(device); }

}  // namespace mirel
