#pragma once

#include <cstddef>

// What the emulated device reports about itself, shaped after a compute capability 9.0 part
// so that code tuning itself to the device makes the same choices as on real hardware. Both
// the runtime and the stand-in driver answer from here.
namespace emu::limits {

inline constexpr char kName[] = "Quellmar CPU emulator";
inline constexpr int kComputeMajor = 9;
inline constexpr int kComputeMinor = 0;
inline constexpr std::size_t kTotalGlobalMem = std::size_t{8} << 30;
inline constexpr int kMaxThreadsPerBlock = 1024;
inline constexpr int kMaxBlockDim[3] = {1024, 1024, 64};
inline constexpr int kMaxGridDim[3] = {2147483647, 65535, 65535};
inline constexpr int kSharedMemPerBlock = 48 * 1024;
inline constexpr int kSharedMemPerBlockOptin = 232448;
inline constexpr int kSharedMemPerMultiprocessor = 233472;
inline constexpr int kReservedSharedMemPerBlock = 1024;
inline constexpr int kWarpSize = 32;
inline constexpr int kMultiprocessorCount = 132;
inline constexpr int kRegistersPerBlock = 65536;
inline constexpr int kRegistersPerMultiprocessor = 65536;
inline constexpr int kMaxThreadsPerMultiprocessor = 2048;
inline constexpr int kMaxBlocksPerMultiprocessor = 32;
inline constexpr int kTotalConstMem = 64 * 1024;
inline constexpr int kL2CacheSize = 50 * 1024 * 1024;
inline constexpr int kMemoryBusWidth = 5120;
inline constexpr int kClockRateKHz = 1755000;
inline constexpr int kMemoryClockRateKHz = 2619000;
inline constexpr std::size_t kMemPitch = 2147483647;
inline constexpr int kTextureAlignment = 512;
inline constexpr int kTexturePitchAlignment = 32;
inline constexpr int kAsyncEngineCount = 3;
inline constexpr int kPciBusId = 1;
inline constexpr int kMaxPersistingL2CacheSize = 32 * 1024 * 1024;
inline constexpr int kMaxAccessPolicyWindowSize = 134213632;
// Device allocations are aligned like cudaMalloc's.
inline constexpr std::size_t kAllocationAlignment = 256;

// Whether a launch of this shape fits the device; the runtime and the driver reject the
// same shapes.
constexpr bool validLaunchShape(unsigned gridX, unsigned gridY, unsigned gridZ, unsigned blockX,
                                unsigned blockY, unsigned blockZ) {
  const auto within = [](unsigned value, int limit) {
    return value >= 1 && value <= static_cast<unsigned>(limit);
  };
  return within(blockX, kMaxBlockDim[0]) && within(blockY, kMaxBlockDim[1]) &&
         within(blockZ, kMaxBlockDim[2]) &&
         static_cast<unsigned long long>(blockX) * blockY * blockZ <= kMaxThreadsPerBlock &&
         within(gridX, kMaxGridDim[0]) && within(gridY, kMaxGridDim[1]) &&
         within(gridZ, kMaxGridDim[2]);
}

}  // namespace emu::limits
