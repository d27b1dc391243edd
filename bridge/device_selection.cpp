#include "device_selection.hpp"

namespace mirel {
namespace {

int deviceId = 0;

}  // namespace

int recordedDevice() { return deviceId; }

void recordDevice(int device) { deviceId = device; }

}  // namespace mirel
