#include "ui.hpp"

#include <dlfcn.h>
#include <pthread.h>

#include <filesystem>
#include <stdexcept>

namespace mirel {
namespace {

pthread_t mainThread{};
std::string gpuName;
std::filesystem::path resources;

}  // namespace

void initializeLinuxUI(const char* folder, const std::string& name) {
    mainThread = pthread_self();
    gpuName = name;
    resources = folder != nullptr ? std::filesystem::path(folder) : std::filesystem::path();
}

bool linuxRenderingBuilt() { return QUELLMAR_RENDERER_BUILT != 0; }

std::unique_ptr<LinuxRenderer> linuxRenderer(unsigned long window) {
    if (!linuxRenderingBuilt())
        throw std::runtime_error(
            "GPU rendering was not built; install OpenGL/X11/libpng development files and rebuild, or use "
            "--headless.");
    using Factory = LinuxRenderer* (*)(unsigned long, int);
    static const Factory create = [] {
        const std::filesystem::path module = resources / "libquellmar_gl.so";
        void* handle = dlopen(module.c_str(), RTLD_NOW);
        if (handle == nullptr) throw std::runtime_error(std::string("Cannot load Linux renderer: ") + dlerror());
        void* symbol = dlsym(handle, "qm_gl_create");
        if (symbol == nullptr) throw std::runtime_error("Incompatible Linux rendering module.");
        return reinterpret_cast<Factory>(symbol);
    }();
    return std::unique_ptr<LinuxRenderer>(create(window, 0));
}

}  // namespace mirel
