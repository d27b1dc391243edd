#pragma once

#include <optional>

namespace emu::limits {

// The value of a device attribute, numbered as cudaDeviceAttr (the driver's CUdevice_attribute
// uses the same numbers). Texture and surface limits are not emulated and read as unknown.
std::optional<int> deviceAttribute(int attribute);

}  // namespace emu::limits
