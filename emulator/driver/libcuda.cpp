// The stand-in for libcuda.so.1. It lets code that compiles kernels at run time go through
// its driver calls: modules and functions are handles without code, and a launch is only
// counted.

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <cuda.h>

#include "common/device_attributes.hpp"
#include "common/device_limits.hpp"
#include "common/environment.hpp"
#include "common/error_texts.hpp"

#define QM_DRIVER_CALL extern "C" __attribute__((visibility("default")))

struct CUfunc_st {
  std::string name;
};

struct CUmod_st {
  std::map<std::string, std::unique_ptr<CUfunc_st>> functions;
  std::map<std::string, std::vector<unsigned char>> globals;
};

namespace {

// Each named global of a module reads as a zeroed buffer of this size.
constexpr std::size_t kGlobalBytes = 4096;

// Codes of the driver's CUresult, which share their text with the runtime's equal code.
constexpr CUresult kKnownResults[] = {
    CUDA_SUCCESS,
    CUDA_ERROR_INVALID_VALUE,
    CUDA_ERROR_OUT_OF_MEMORY,
    CUDA_ERROR_NOT_INITIALIZED,
    CUDA_ERROR_DEINITIALIZED,
    CUDA_ERROR_STUB_LIBRARY,
    CUDA_ERROR_DEVICE_UNAVAILABLE,
    CUDA_ERROR_NO_DEVICE,
    CUDA_ERROR_INVALID_DEVICE,
    CUDA_ERROR_INVALID_IMAGE,
    CUDA_ERROR_INVALID_CONTEXT,
    CUDA_ERROR_NO_BINARY_FOR_GPU,
    CUDA_ERROR_INVALID_PTX,
    CUDA_ERROR_JIT_COMPILER_NOT_FOUND,
    CUDA_ERROR_UNSUPPORTED_PTX_VERSION,
    CUDA_ERROR_INVALID_SOURCE,
    CUDA_ERROR_FILE_NOT_FOUND,
    CUDA_ERROR_SHARED_OBJECT_SYMBOL_NOT_FOUND,
    CUDA_ERROR_SHARED_OBJECT_INIT_FAILED,
    CUDA_ERROR_OPERATING_SYSTEM,
    CUDA_ERROR_INVALID_HANDLE,
    CUDA_ERROR_ILLEGAL_STATE,
    CUDA_ERROR_NOT_FOUND,
    CUDA_ERROR_NOT_READY,
    CUDA_ERROR_ILLEGAL_ADDRESS,
    CUDA_ERROR_LAUNCH_OUT_OF_RESOURCES,
    CUDA_ERROR_LAUNCH_TIMEOUT,
    CUDA_ERROR_LAUNCH_FAILED,
    CUDA_ERROR_NOT_PERMITTED,
    CUDA_ERROR_NOT_SUPPORTED,
    CUDA_ERROR_SYSTEM_NOT_READY,
    CUDA_ERROR_SYSTEM_DRIVER_MISMATCH,
    CUDA_ERROR_UNKNOWN,
};

struct Driver {
  std::atomic<bool> initialized{false};
  std::atomic<unsigned long long> launches{0};
  std::mutex mutex;
  std::set<CUmod_st*> modules;
  std::set<CUfunc_st*> functions;
};

// A test's injected failure: the call with index `failAt` (0: none) returns `error`.
struct Faults {
  std::mutex mutex;
  unsigned long long calls = 0;
  unsigned long long failAt = 0;
  CUresult error = CUDA_SUCCESS;
  const char* failed = nullptr;
};

Driver& driver() {
  static Driver instance;
  return instance;
}

int deviceCount() {
  const auto count = emu::environmentNumber("QM_EMULATOR_DEVICES");
  return count && *count >= 0 ? static_cast<int>(*count) : 1;
}

// A nonzero code from the environment variable, to fail with.
CUresult environmentError(const char* name) {
  return static_cast<CUresult>(emu::environmentNumber(name).value_or(CUDA_SUCCESS));
}

bool initialized() { return driver().initialized.load(); }

Faults& faults() {
  static Faults instance;
  return instance;
}

// Counts a call of `name` and returns the failure injected for it, if any: the call then does
// nothing else.
CUresult injected(const char* name) {
  Faults& f = faults();
  std::lock_guard lock(f.mutex);
  if (++f.calls != f.failAt) return CUDA_SUCCESS;
  f.failAt = 0;
  f.failed = name;
  return f.error;
}

}  // namespace

QM_DRIVER_CALL CUresult cuInit(unsigned int Flags) {
  if (const CUresult error = injected("cuInit")) return error;
  if (Flags != 0) return CUDA_ERROR_INVALID_VALUE;
  if (const CUresult error = environmentError("QM_EMULATOR_CUINIT_ERROR")) return error;
  if (deviceCount() == 0) return CUDA_ERROR_NO_DEVICE;
  driver().initialized = true;
  return CUDA_SUCCESS;
}

QM_DRIVER_CALL CUresult cuGetErrorString(CUresult error, const char** pStr) {
  if (pStr == nullptr) return CUDA_ERROR_INVALID_VALUE;
  for (const CUresult known : kKnownResults) {
    if (known == error) {
      *pStr = emu::texts::find(error)->description;
      return CUDA_SUCCESS;
    }
  }
  *pStr = nullptr;
  return CUDA_ERROR_INVALID_VALUE;
}

// NVRTC opens libcuda.so.1 itself while it compiles and asks it for a private table: it crashes
// on a driver without this entry and does without the table when the driver has none to give.
QM_DRIVER_CALL CUresult cuGetExportTable(const void** ppExportTable, const CUuuid* pExportTableId) {
  if (ppExportTable == nullptr || pExportTableId == nullptr) return CUDA_ERROR_INVALID_VALUE;
  *ppExportTable = nullptr;
  return CUDA_ERROR_INVALID_VALUE;
}

QM_DRIVER_CALL CUresult cuDeviceGet(CUdevice* device, int ordinal) {
  if (const CUresult error = injected("cuDeviceGet")) return error;
  if (!initialized()) return CUDA_ERROR_NOT_INITIALIZED;
  if (device == nullptr) return CUDA_ERROR_INVALID_VALUE;
  if (ordinal < 0 || ordinal >= deviceCount()) return CUDA_ERROR_INVALID_DEVICE;
  *device = ordinal;
  return CUDA_SUCCESS;
}

QM_DRIVER_CALL CUresult cuDeviceGetAttribute(int* pi, CUdevice_attribute attrib, CUdevice dev) {
  if (const CUresult error = injected("cuDeviceGetAttribute")) return error;
  if (!initialized()) return CUDA_ERROR_NOT_INITIALIZED;
  if (pi == nullptr) return CUDA_ERROR_INVALID_VALUE;
  if (dev < 0 || dev >= deviceCount()) return CUDA_ERROR_INVALID_DEVICE;
  const auto value = emu::limits::deviceAttribute(attrib);
  if (!value) return CUDA_ERROR_INVALID_VALUE;
  *pi = *value;
  return CUDA_SUCCESS;
}

QM_DRIVER_CALL CUresult cuModuleLoadDataEx(CUmodule* module, const void* image, unsigned int,
                                           CUjit_option*, void**) {
  if (const CUresult error = injected("cuModuleLoadDataEx")) return error;
  if (!initialized()) return CUDA_ERROR_NOT_INITIALIZED;
  if (module == nullptr || image == nullptr) return CUDA_ERROR_INVALID_VALUE;
  if (const CUresult error = environmentError("QM_EMULATOR_MODULE_ERROR")) return error;
  Driver& d = driver();
  std::lock_guard lock(d.mutex);
  *module = *d.modules.insert(new CUmod_st).first;
  return CUDA_SUCCESS;
}

QM_DRIVER_CALL CUresult cuModuleUnload(CUmodule hmod) {
  if (const CUresult error = injected("cuModuleUnload")) return error;
  if (!initialized()) return CUDA_ERROR_NOT_INITIALIZED;
  Driver& d = driver();
  std::lock_guard lock(d.mutex);
  if (d.modules.erase(hmod) == 0) return CUDA_ERROR_INVALID_HANDLE;
  for (const auto& [name, function] : hmod->functions) d.functions.erase(function.get());
  delete hmod;
  return CUDA_SUCCESS;
}

QM_DRIVER_CALL CUresult cuModuleGetFunction(CUfunction* hfunc, CUmodule hmod, const char* name) {
  if (const CUresult error = injected("cuModuleGetFunction")) return error;
  if (!initialized()) return CUDA_ERROR_NOT_INITIALIZED;
  if (hfunc == nullptr || name == nullptr) return CUDA_ERROR_INVALID_VALUE;
  Driver& d = driver();
  std::lock_guard lock(d.mutex);
  if (d.modules.count(hmod) == 0) return CUDA_ERROR_INVALID_HANDLE;
  auto& function = hmod->functions[name];
  if (!function) {
    function = std::make_unique<CUfunc_st>(CUfunc_st{name});
    d.functions.insert(function.get());
  }
  *hfunc = function.get();
  return CUDA_SUCCESS;
}

QM_DRIVER_CALL CUresult cuModuleGetGlobal_v2(CUdeviceptr* dptr, size_t* bytes, CUmodule hmod,
                                             const char* name) {
  if (const CUresult error = injected("cuModuleGetGlobal_v2")) return error;
  if (!initialized()) return CUDA_ERROR_NOT_INITIALIZED;
  if (name == nullptr) return CUDA_ERROR_INVALID_VALUE;
  Driver& d = driver();
  std::lock_guard lock(d.mutex);
  if (d.modules.count(hmod) == 0) return CUDA_ERROR_INVALID_HANDLE;
  auto& global = hmod->globals[name];
  global.resize(kGlobalBytes);
  if (dptr != nullptr) *dptr = reinterpret_cast<CUdeviceptr>(global.data());
  if (bytes != nullptr) *bytes = global.size();
  return CUDA_SUCCESS;
}

QM_DRIVER_CALL CUresult cuFuncSetAttribute(CUfunction hfunc, CUfunction_attribute attrib,
                                           int value) {
  if (const CUresult error = injected("cuFuncSetAttribute")) return error;
  if (!initialized()) return CUDA_ERROR_NOT_INITIALIZED;
  Driver& d = driver();
  std::lock_guard lock(d.mutex);
  if (d.functions.count(hfunc) == 0) return CUDA_ERROR_INVALID_HANDLE;
  if (attrib == CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES &&
      (value < 0 || value > emu::limits::kSharedMemPerBlockOptin)) {
    return CUDA_ERROR_INVALID_VALUE;
  }
  return CUDA_SUCCESS;
}

QM_DRIVER_CALL CUresult cuLaunchKernel(CUfunction f, unsigned int gridDimX, unsigned int gridDimY,
                                       unsigned int gridDimZ, unsigned int blockDimX,
                                       unsigned int blockDimY, unsigned int blockDimZ,
                                       unsigned int sharedMemBytes, CUstream, void**, void**) {
  if (const CUresult error = injected("cuLaunchKernel")) return error;
  if (!initialized()) return CUDA_ERROR_NOT_INITIALIZED;
  Driver& d = driver();
  {
    std::lock_guard lock(d.mutex);
    if (d.functions.count(f) == 0) return CUDA_ERROR_INVALID_HANDLE;
  }
  if (!emu::limits::validLaunchShape(gridDimX, gridDimY, gridDimZ, blockDimX, blockDimY, blockDimZ) ||
      sharedMemBytes > static_cast<unsigned>(emu::limits::kSharedMemPerBlockOptin)) {
    return CUDA_ERROR_INVALID_VALUE;
  }
  ++d.launches;
  return CUDA_SUCCESS;
}

QM_DRIVER_CALL CUresult cuMemcpyHtoD_v2(CUdeviceptr dstDevice, const void* srcHost,
                                        size_t ByteCount) {
  if (const CUresult error = injected("cuMemcpyHtoD_v2")) return error;
  if (!initialized()) return CUDA_ERROR_NOT_INITIALIZED;
  if (ByteCount == 0) return CUDA_SUCCESS;
  if (dstDevice == 0 || srcHost == nullptr) return CUDA_ERROR_INVALID_VALUE;
  std::memmove(reinterpret_cast<void*>(dstDevice), srcHost, ByteCount);
  return CUDA_SUCCESS;
}

// Kernel launches accepted so far, for tests.
QM_DRIVER_CALL unsigned long long qmEmulatorDriverLaunchCount() { return driver().launches; }

// For tests: calls so far of the entries that do work (all but cuGetErrorString and
// cuGetExportTable), the k-th (1-based) of which from now returns `error` and does nothing
// else, and the name of the entry whose call failed so, null before that.
QM_DRIVER_CALL unsigned long long qmEmulatorDriverCallCount() {
  Faults& f = faults();
  std::lock_guard lock(f.mutex);
  return f.calls;
}

QM_DRIVER_CALL void qmEmulatorDriverFailCall(unsigned long long k, CUresult error) {
  Faults& f = faults();
  std::lock_guard lock(f.mutex);
  f.failAt = k > 0 ? f.calls + k : 0;
  f.error = error;
  f.failed = nullptr;
}

QM_DRIVER_CALL const char* qmEmulatorDriverFailedCall() {
  Faults& f = faults();
  std::lock_guard lock(f.mutex);
  return f.failed;
}
