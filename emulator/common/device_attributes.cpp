#include "device_attributes.hpp"

#include <driver_types.h>

#include "device_limits.hpp"

namespace emu::limits {

std::optional<int> deviceAttribute(int attribute) {
  switch (static_cast<cudaDeviceAttr>(attribute)) {
    case cudaDevAttrMaxThreadsPerBlock: return kMaxThreadsPerBlock;
    case cudaDevAttrMaxBlockDimX: return kMaxBlockDim[0];
    case cudaDevAttrMaxBlockDimY: return kMaxBlockDim[1];
    case cudaDevAttrMaxBlockDimZ: return kMaxBlockDim[2];
    case cudaDevAttrMaxGridDimX: return kMaxGridDim[0];
    case cudaDevAttrMaxGridDimY: return kMaxGridDim[1];
    case cudaDevAttrMaxGridDimZ: return kMaxGridDim[2];
    case cudaDevAttrMaxSharedMemoryPerBlock: return kSharedMemPerBlock;
    case cudaDevAttrTotalConstantMemory: return kTotalConstMem;
    case cudaDevAttrWarpSize: return kWarpSize;
    case cudaDevAttrMaxPitch: return static_cast<int>(kMemPitch);
    case cudaDevAttrMaxRegistersPerBlock: return kRegistersPerBlock;
    case cudaDevAttrClockRate: return kClockRateKHz;
    case cudaDevAttrTextureAlignment: return kTextureAlignment;
    case cudaDevAttrGpuOverlap: return 1;
    case cudaDevAttrMultiProcessorCount: return kMultiprocessorCount;
    case cudaDevAttrKernelExecTimeout: return 0;
    case cudaDevAttrIntegrated: return 0;
    case cudaDevAttrCanMapHostMemory: return 1;
    case cudaDevAttrComputeMode: return cudaComputeModeDefault;
    case cudaDevAttrSurfaceAlignment: return kTextureAlignment;
    case cudaDevAttrConcurrentKernels: return 1;
    case cudaDevAttrEccEnabled: return 0;
    case cudaDevAttrPciBusId: return kPciBusId;
    case cudaDevAttrPciDeviceId: return 0;
    case cudaDevAttrTccDriver: return 0;
    case cudaDevAttrMemoryClockRate: return kMemoryClockRateKHz;
    case cudaDevAttrGlobalMemoryBusWidth: return kMemoryBusWidth;
    case cudaDevAttrL2CacheSize: return kL2CacheSize;
    case cudaDevAttrMaxThreadsPerMultiProcessor: return kMaxThreadsPerMultiprocessor;
    case cudaDevAttrAsyncEngineCount: return kAsyncEngineCount;
    case cudaDevAttrUnifiedAddressing: return 1;
    case cudaDevAttrPciDomainId: return 0;
    case cudaDevAttrTexturePitchAlignment: return kTexturePitchAlignment;
    case cudaDevAttrComputeCapabilityMajor: return kComputeMajor;
    case cudaDevAttrComputeCapabilityMinor: return kComputeMinor;
    case cudaDevAttrStreamPrioritiesSupported: return 1;
    case cudaDevAttrGlobalL1CacheSupported: return 1;
    case cudaDevAttrLocalL1CacheSupported: return 1;
    case cudaDevAttrMaxSharedMemoryPerMultiprocessor: return kSharedMemPerMultiprocessor;
    case cudaDevAttrMaxRegistersPerMultiprocessor: return kRegistersPerMultiprocessor;
    case cudaDevAttrManagedMemory: return 0;
    case cudaDevAttrIsMultiGpuBoard: return 0;
    case cudaDevAttrMultiGpuBoardGroupID: return 0;
    case cudaDevAttrHostNativeAtomicSupported: return 0;
    case cudaDevAttrSingleToDoublePrecisionPerfRatio: return 2;
    case cudaDevAttrPageableMemoryAccess: return 0;
    case cudaDevAttrConcurrentManagedAccess: return 0;
    case cudaDevAttrComputePreemptionSupported: return 1;
    case cudaDevAttrCanUseHostPointerForRegisteredMem: return 0;
    case cudaDevAttrCooperativeLaunch: return 0;
    case cudaDevAttrMaxSharedMemoryPerBlockOptin: return kSharedMemPerBlockOptin;
    case cudaDevAttrCanFlushRemoteWrites: return 0;
    case cudaDevAttrHostRegisterSupported: return 0;
    case cudaDevAttrPageableMemoryAccessUsesHostPageTables: return 0;
    case cudaDevAttrDirectManagedMemAccessFromHost: return 0;
    case cudaDevAttrMaxBlocksPerMultiprocessor: return kMaxBlocksPerMultiprocessor;
    case cudaDevAttrMaxPersistingL2CacheSize: return kMaxPersistingL2CacheSize;
    case cudaDevAttrMaxAccessPolicyWindowSize: return kMaxAccessPolicyWindowSize;
    case cudaDevAttrReservedSharedMemoryPerBlock: return kReservedSharedMemPerBlock;
    case cudaDevAttrSparseCudaArraySupported: return 0;
    case cudaDevAttrHostRegisterReadOnlySupported: return 0;
    case cudaDevAttrTimelineSemaphoreInteropSupported: return 0;
    case cudaDevAttrMemoryPoolsSupported: return 0;
    case cudaDevAttrGPUDirectRDMASupported: return 0;
    case cudaDevAttrClusterLaunch: return 0;
    case cudaDevAttrDeferredMappingCudaArraySupported: return 0;
    case cudaDevAttrIpcEventSupport: return 0;
    case cudaDevAttrMemSyncDomainCount: return 1;
    case cudaDevAttrNumaConfig: return 0;
    case cudaDevAttrNumaId: return -1;
    case cudaDevAttrMpsEnabled: return 0;
    case cudaDevAttrHostNumaId: return -1;
    case cudaDevAttrGpuPciDeviceId: return 0;
    case cudaDevAttrGpuPciSubsystemId: return 0;
    default: return std::nullopt;
  }
}

}  // namespace emu::limits
