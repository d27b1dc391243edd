#include "bridge/render/renderer_binding.hpp"

#include <dlfcn.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "bridge/ui/ui_globals.hpp"

namespace mirel {

bool linuxRenderingBuilt() { return QUELLMAR_RENDERER_BUILT != 0; }

std::unique_ptr<LinuxRenderer> linuxRenderer(unsigned long window) {
    if (!linuxRenderingBuilt())
        throw std::runtime_error(
            "GPU rendering was not built; install OpenGL/X11/libpng development files and rebuild, or use "
            "--headless.");
    using Factory = LinuxRenderer* (*)(unsigned long, int);
    // A local static is initialised once even when several threads arrive together, and an
    // initialisation that throws is tried again by the next call.
    static const Factory create = [] {
        const std::filesystem::path module = resourcesFolder() / "libquellmar_gl.so";
        void* handle = dlopen(module.c_str(), RTLD_NOW);
        if (handle == nullptr) throw std::runtime_error(std::string("Cannot load Linux renderer: ") + dlerror());
        void* symbol = dlsym(handle, "qm_gl_create");
        if (symbol == nullptr) throw std::runtime_error("Incompatible Linux rendering module.");
        return reinterpret_cast<Factory>(symbol);
    }();
    return std::unique_ptr<LinuxRenderer>(create(window, 0));
}

}  // namespace mirel
