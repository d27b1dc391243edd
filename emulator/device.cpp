#include <atomic>
#include <cstring>

#include "common/device_attributes.hpp"
#include "common/device_limits.hpp"
#include "common/environment.hpp"
#include "quellmar_emulator/control.hpp"
#include "runtime.hpp"

namespace {

constexpr int kVersion = 13000;

int environmentDeviceCount() {
  const auto count = emu::environmentNumber("QM_EMULATOR_DEVICES");
  return count && *count >= 0 ? static_cast<int>(*count) : 1;
}

bool environmentDeviceFailure() { return emu::environmentNumber("QM_EMULATOR_DEVICE_FAILURE").value_or(0) != 0; }

struct Switches {
  std::atomic<int> count{environmentDeviceCount()};
  std::atomic<bool> failing{environmentDeviceFailure()};
};

Switches& switches() {
  static Switches instance;
  return instance;
}

// Like the runtime, each host thread has its own current device.
thread_local int tCurrentDevice = 0;

void fillProperties(cudaDeviceProp& p, int device) {
  namespace l = emu::limits;
  std::memset(&p, 0, sizeof p);
  std::strncpy(p.name, l::kName, sizeof p.name - 1);
  p.uuid.bytes[0] = static_cast<char>(device + 1);
  p.totalGlobalMem = l::kTotalGlobalMem;
  p.sharedMemPerBlock = l::kSharedMemPerBlock;
  p.regsPerBlock = l::kRegistersPerBlock;
  p.warpSize = l::kWarpSize;
  p.memPitch = l::kMemPitch;
  p.maxThreadsPerBlock = l::kMaxThreadsPerBlock;
  for (int i = 0; i < 3; ++i) {
    p.maxThreadsDim[i] = l::kMaxBlockDim[i];
    p.maxGridSize[i] = l::kMaxGridDim[i];
  }
  p.totalConstMem = l::kTotalConstMem;
  p.major = l::kComputeMajor;
  p.minor = l::kComputeMinor;
  p.textureAlignment = l::kTextureAlignment;
  p.texturePitchAlignment = l::kTexturePitchAlignment;
  p.multiProcessorCount = l::kMultiprocessorCount;
  p.canMapHostMemory = 1;
  p.surfaceAlignment = l::kTextureAlignment;
  p.concurrentKernels = 1;
  p.pciBusID = l::kPciBusId + device;
  p.asyncEngineCount = l::kAsyncEngineCount;
  p.unifiedAddressing = 1;
  p.memoryBusWidth = l::kMemoryBusWidth;
  p.l2CacheSize = l::kL2CacheSize;
  p.persistingL2CacheMaxSize = l::kMaxPersistingL2CacheSize;
  p.maxThreadsPerMultiProcessor = l::kMaxThreadsPerMultiprocessor;
  p.streamPrioritiesSupported = 1;
  p.globalL1CacheSupported = 1;
  p.localL1CacheSupported = 1;
  p.sharedMemPerMultiprocessor = l::kSharedMemPerMultiprocessor;
  p.regsPerMultiprocessor = l::kRegistersPerMultiprocessor;
  p.computePreemptionSupported = 1;
  p.sharedMemPerBlockOptin = l::kSharedMemPerBlockOptin;
  p.maxBlocksPerMultiProcessor = l::kMaxBlocksPerMultiprocessor;
  p.accessPolicyMaxWindowSize = l::kMaxAccessPolicyWindowSize;
  p.reservedSharedMemPerBlock = l::kReservedSharedMemPerBlock;
  p.deviceNumaId = -1;
  p.hostNumaId = -1;
}

}  // namespace

namespace emu {

void setDeviceCount(int count) { switches().count = count > 0 ? count : 0; }
void setDeviceFailure(bool failing) { switches().failing = failing; }

}  // namespace emu

namespace emu::detail {

int currentDevice() { return tCurrentDevice; }

cudaError_t deviceState() {
  const Switches& s = switches();
  if (s.count == 0) return cudaErrorNoDevice;
  if (s.failing) return cudaErrorDevicesUnavailable;
  return tCurrentDevice < s.count ? cudaSuccess : cudaErrorInvalidDevice;
}

cudaError_t checkOrdinal(int device) {
  const int count = switches().count;
  if (count == 0) return cudaErrorNoDevice;
  return device >= 0 && device < count ? cudaSuccess : cudaErrorInvalidDevice;
}

void resetDevices() {
  switches().count = environmentDeviceCount();
  switches().failing = environmentDeviceFailure();
}

}  // namespace emu::detail

using emu::detail::call;
using emu::detail::checkOrdinal;
using emu::detail::Needs;

QM_RUNTIME_CALL cudaError_t cudaGetDeviceCount(int* count) {
  return call("cudaGetDeviceCount", Needs::nothing, [&] {
    if (count == nullptr) return cudaErrorInvalidValue;
    *count = switches().count;
    return *count > 0 ? cudaSuccess : cudaErrorNoDevice;
  });
}

QM_RUNTIME_CALL cudaError_t cudaSetDevice(int device) {
  return call("cudaSetDevice", Needs::nothing, [&] {
    const cudaError_t ordinal = checkOrdinal(device);
    if (ordinal != cudaSuccess) return ordinal;
    // Selecting a device creates its context, which is where a broken device shows.
    if (switches().failing) return cudaErrorDevicesUnavailable;
    tCurrentDevice = device;
    return cudaSuccess;
  });
}

QM_RUNTIME_CALL cudaError_t cudaGetDevice(int* device) {
  return call("cudaGetDevice", Needs::nothing, [&] {
    if (device == nullptr) return cudaErrorInvalidValue;
    if (switches().count == 0) return cudaErrorNoDevice;
    *device = tCurrentDevice;
    return cudaSuccess;
  });
}

QM_RUNTIME_CALL cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
  return call("cudaGetDeviceProperties", Needs::nothing, [&] {
    if (prop == nullptr) return cudaErrorInvalidValue;
    const cudaError_t ordinal = checkOrdinal(device);
    if (ordinal == cudaSuccess) fillProperties(*prop, device);
    return ordinal;
  });
}

QM_RUNTIME_CALL cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device) {
  return call("cudaDeviceGetAttribute", Needs::nothing, [&] {
    if (value == nullptr) return cudaErrorInvalidValue;
    const cudaError_t ordinal = checkOrdinal(device);
    if (ordinal != cudaSuccess) return ordinal;
    const auto answer = emu::limits::deviceAttribute(attr);
    if (!answer) return cudaErrorInvalidValue;
    *value = *answer;
    return cudaSuccess;
  });
}

QM_RUNTIME_CALL cudaError_t cudaMemGetInfo(size_t* free, size_t* total) {
  return call("cudaMemGetInfo", Needs::device, [&] {
    if (free == nullptr || total == nullptr) return cudaErrorInvalidValue;
    *total = emu::limits::kTotalGlobalMem;
    *free = *total - emu::detail::liveBytesOn(tCurrentDevice);
    return cudaSuccess;
  });
}

QM_RUNTIME_CALL cudaError_t cudaRuntimeGetVersion(int* runtimeVersion) {
  return call("cudaRuntimeGetVersion", Needs::nothing, [&] {
    if (runtimeVersion == nullptr) return cudaErrorInvalidValue;
    *runtimeVersion = kVersion;
    return cudaSuccess;
  });
}

QM_RUNTIME_CALL cudaError_t cudaDriverGetVersion(int* driverVersion) {
  return call("cudaDriverGetVersion", Needs::nothing, [&] {
    if (driverVersion == nullptr) return cudaErrorInvalidValue;
    *driverVersion = kVersion;
    return cudaSuccess;
  });
}

QM_RUNTIME_CALL cudaError_t cudaDeviceSynchronize() {
  return call("cudaDeviceSynchronize", Needs::device, [] {
    emu::detail::deviceCompleted(tCurrentDevice);
    return emu::detail::takePendingError(tCurrentDevice);
  });
}

QM_RUNTIME_CALL cudaError_t cudaDeviceReset() {
  return call("cudaDeviceReset", Needs::device, [] {
    emu::detail::releaseMemory(tCurrentDevice);
    emu::detail::releaseStreamsAndEvents(tCurrentDevice);
    emu::detail::takePendingError(tCurrentDevice);
    return cudaSuccess;
  });
}
