#include "solver/cuda/cuda_driver.hpp"

#include <dlfcn.h>

#include <stdexcept>
#include <string>

// Each entry resolves its namesake in libcuda.so.1 on first use and then passes every call
// through unchanged. A failed resolution throws and leaves the entry unresolved, so a later call
// tries again. These definitions stay private to libquellmar.
namespace {

void* driverSymbol(const char* name) {
    static void* const driver = [] {
        void* handle = dlopen("libcuda.so.1", RTLD_NOW);
        if (handle == nullptr)
            throw std::runtime_error(std::string("Cannot load NVIDIA driver libcuda.so.1: ") + dlerror());
        return handle;
    }();
    void* entry = dlsym(driver, name);
    if (entry == nullptr) throw std::runtime_error(std::string("NVIDIA driver symbol unavailable: ") + name);
    return entry;
}

template <typename Entry>
Entry* resolve(Entry*, const char* name) {
    return reinterpret_cast<Entry*>(driverSymbol(name));
}

}  // namespace

extern "C" {

CUresult cuInit(unsigned int flags) {
    static auto* const dispatch = resolve(&cuInit, "cuInit");
    return dispatch(flags);
}

CUresult cuGetErrorString(CUresult error, const char** text) {
    static auto* const dispatch = resolve(&cuGetErrorString, "cuGetErrorString");
    return dispatch(error, text);
}

CUresult cuDeviceGet(CUdevice* device, int ordinal) {
    static auto* const dispatch = resolve(&cuDeviceGet, "cuDeviceGet");
    return dispatch(device, ordinal);
}

CUresult cuDeviceGetAttribute(int* value, CUdevice_attribute attribute, CUdevice device) {
    static auto* const dispatch = resolve(&cuDeviceGetAttribute, "cuDeviceGetAttribute");
    return dispatch(value, attribute, device);
}

CUresult cuModuleLoadDataEx(CUmodule* module, const void* image, unsigned int count, CUjit_option* options,
                            void** values) {
    static auto* const dispatch = resolve(&cuModuleLoadDataEx, "cuModuleLoadDataEx");
    return dispatch(module, image, count, options, values);
}

CUresult cuModuleGetFunction(CUfunction* function, CUmodule module, const char* name) {
    static auto* const dispatch = resolve(&cuModuleGetFunction, "cuModuleGetFunction");
    return dispatch(function, module, name);
}

CUresult cuFuncSetAttribute(CUfunction function, CUfunction_attribute attribute, int value) {
    static auto* const dispatch = resolve(&cuFuncSetAttribute, "cuFuncSetAttribute");
    return dispatch(function, attribute, value);
}

CUresult cuLaunchKernel(CUfunction function, unsigned int gridX, unsigned int gridY, unsigned int gridZ,
                        unsigned int blockX, unsigned int blockY, unsigned int blockZ, unsigned int sharedBytes,
                        CUstream stream, void** parameters, void** extra) {
    static auto* const dispatch = resolve(&cuLaunchKernel, "cuLaunchKernel");
    return dispatch(function, gridX, gridY, gridZ, blockX, blockY, blockZ, sharedBytes, stream, parameters, extra);
}

CUresult cuModuleUnload(CUmodule module) {
    static auto* const dispatch = resolve(&cuModuleUnload, "cuModuleUnload");
    return dispatch(module);
}

CUresult cuModuleGetGlobal_v2(CUdeviceptr* address, size_t* bytes, CUmodule module, const char* name) {
    static auto* const dispatch = resolve(&cuModuleGetGlobal_v2, "cuModuleGetGlobal_v2");
    return dispatch(address, bytes, module, name);
}

CUresult cuMemcpyHtoD_v2(CUdeviceptr destination, const void* source, size_t bytes) {
    static auto* const dispatch = resolve(&cuMemcpyHtoD_v2, "cuMemcpyHtoD_v2");
    return dispatch(destination, source, bytes);
}

}  // extern "C"
