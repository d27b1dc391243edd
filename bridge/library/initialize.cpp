#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "bridge/json/boundary.hpp"
#include "bridge/json/readers.hpp"
#include "bridge/library/device_selection.hpp"
#include "bridge/render/renderer_binding.hpp"
#include "bridge/ui/ui_globals.hpp"
#include "mirel/export.hpp"
#include "mirel/solver.hpp"
#include "quellmar/quellmar.h"
#include "solver/cuda/cuda_check.hpp"
#include "solver/cuda/cuda_loader.hpp"

namespace mirel {
namespace {

using nlohmann::json;

int deviceFromEnvironment() {
    const char* text = std::getenv("QUELLMAR_DEVICE");
    if (text == nullptr) return 0;
    const std::string value = text;
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos)
        throw std::invalid_argument("QUELLMAR_DEVICE must be a nonnegative device index.");
    return std::stoi(value);
}

cudaDeviceProp deviceProperties(int deviceId, const char* call) {
    cudaDeviceProp prop;
    std::memset(&prop, 0, sizeof prop);
    cudaCheck(cudaGetDeviceProperties(&prop, deviceId), call);
    return prop;
}

std::string computeCapability(const cudaDeviceProp& prop) {
    return std::to_string(prop.major) + "." + std::to_string(prop.minor);
}

std::uint64_t physicalMemory() {
    return static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

json capabilityDocument(const char* resources) {
    initializeCudaLoader();
    const int deviceId = deviceFromEnvironment();
    recordDevice(deviceId);
    cudaCheck(cudaSetDevice(deviceId), "cudaSetDevice(deviceId)");
    const cudaDeviceProp prop = deviceProperties(deviceId, "cudaGetDeviceProperties(&prop, deviceId)");
    const std::string name = boundary::asValidUtf8(std::string_view(prop.name, strnlen(prop.name, sizeof prop.name)));
    initializeLinuxUI(resources, name);
    int runtime = 0;
    int driver = 0;
    cudaCheck(cudaRuntimeGetVersion(&runtime), "cudaRuntimeGetVersion(&runtime)");
    cudaCheck(cudaDriverGetVersion(&driver), "cudaDriverGetVersion(&driver)");

    json document = {
        {"abi_version", 1},
        {"defaults", configReport(Config())},
        {"backend", "CUDA / VkFFT"},
        {"gpu", name},
        {"os", "Linux"},
        {"gpu_memory_bytes", static_cast<std::uint64_t>(prop.totalGlobalMem)},
        {"physical_memory_bytes", physicalMemory()},
        {"compute_capability", computeCapability(prop)},
        {"cuda_runtime_version", runtime},
        {"cuda_driver_version", driver},
        {"integrators", methods},
        {"capabilities",
         {{"headless", true},
          {"native_rendering", linuxRenderingBuilt()},
          {"forcing", false},
          {"drag", false},
          {"vortex_injection", false}}},
    };
    if (!linuxRenderingBuilt())
        document["native_rendering_error"] =
            "GPU rendering was not built. Install OpenGL/X11/libpng development files and rebuild, or use "
            "--headless.";

    const cudaDeviceProp current = deviceProperties(deviceId, "cudaGetDeviceProperties(&prop,device)");
    std::size_t available = 0;
    std::size_t total = 0;
    cudaCheck(cudaMemGetInfo(&available, &total), "cudaMemGetInfo(&available,&total)");
    document["device_index"] = deviceId;
    document["compute_capability"] = computeCapability(current);
    document["available_memory_bytes"] = static_cast<std::uint64_t>(available);
    document["precision"] = "float32";
    return document;
}

}  // namespace
}  // namespace mirel

extern "C" {

QM_EXPORT char* qm_initialize(const char* resources) {
    return mirel::boundary::reply([resources] { return mirel::capabilityDocument(resources); });
}

QM_EXPORT void qm_string_free(char* text) { std::free(text); }

}  // extern "C"
