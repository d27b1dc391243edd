#pragma once

#include <memory>
#include <string>

#include "../renderer/renderer.hpp"

namespace mirel {

// Records the calling thread as the UI main thread, the GPU name for status reports and the
// folder that holds the renderer module (empty when resources is null).
void initializeLinuxUI(const char* resources, const std::string& gpuName);

// Whether this library was built together with its renderer module.
bool linuxRenderingBuilt();

// A new renderer from the module libquellmar_gl.so in the resources folder, on CUDA device 0,
// embedded in window (0: off-screen). The module is loaded once and never unloaded.
std::unique_ptr<LinuxRenderer> linuxRenderer(unsigned long window);

}  // namespace mirel
