#include "solver/cuda/cuda_loader.hpp"

#include <dlfcn.h>

#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>

#include <nvrtc.h>

#include "solver/cuda/cuda_driver.hpp"

namespace mirel {
namespace {

std::filesystem::path loadedNvrtc() {
    Dl_info info{};
    int major = 0;
    int minor = 0;
    if (dladdr(reinterpret_cast<void*>(&nvrtcVersion), &info) == 0 || info.dli_fname == nullptr ||
        nvrtcVersion(&major, &minor) != NVRTC_SUCCESS)
        throw std::runtime_error("Cannot locate the loaded CUDA NVRTC library.");
    const std::string builtins =
        "libnvrtc-builtins.so." + std::to_string(major) + "." + std::to_string(minor);
    return std::filesystem::path(info.dli_fname).parent_path() / builtins;
}

void loadNvrtcBuiltins() {
    const std::filesystem::path builtins = loadedNvrtc();
    if (dlopen(builtins.c_str(), RTLD_NOW) == nullptr)
        throw std::runtime_error(std::string("Cannot load matching CUDA NVRTC builtins: ") + dlerror());
}

void initializeDriver() {
    const CUresult result = cuInit(0);
    if (result == CUDA_SUCCESS) return;
    const char* text = nullptr;
    cuGetErrorString(result, &text);
    throw std::runtime_error(std::string("CUDA driver initialization: ") +
                             (text != nullptr ? text : "unknown failure"));
}

void loadWslDriverCompanions() {
    std::ifstream maps("/proc/self/maps");
    if (!maps) return;
    if (const auto folder = wslDriverFolder(maps)) loadWslCompanions(*folder);
}

}  // namespace

std::optional<std::filesystem::path> wslDriverFolder(std::istream& maps) {
    static const std::string store = "/usr/lib/wsl/drivers/";
    std::string line;
    while (std::getline(maps, line)) {
        const std::size_t start = line.find(store);
        if (start == std::string::npos || line.find("/libcuda.so", start) == std::string::npos) continue;
        return std::filesystem::path(line.substr(start)).parent_path();
    }
    return std::nullopt;
}

void loadWslCompanions(const std::filesystem::path& folder) {
    for (const char* name : {"libnvidia-gpucomp.so", "libnvidia-ptxjitcompiler.so.1"}) {
        const std::filesystem::path library = folder / name;
        if (!std::filesystem::exists(library)) continue;
        if (dlopen(library.c_str(), RTLD_NOW | RTLD_GLOBAL) == nullptr)
            throw std::runtime_error(std::string("Cannot load WSL CUDA dependency: ") + dlerror());
    }
}

void initializeCudaLoader() {
    static std::once_flag once;
    std::call_once(once, [] {
        loadNvrtcBuiltins();
        initializeDriver();
        loadWslDriverCompanions();
    });
}

}  // namespace mirel
