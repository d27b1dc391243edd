#pragma once

#include <memory>

#include "renderer/renderer.hpp"

namespace mirel {

// Whether this library was built together with its renderer module.
bool linuxRenderingBuilt();

// A new renderer from the module libquellmar_gl.so in the resources folder, on CUDA device 0,
// embedded in window (0: off-screen). The module is loaded once and never unloaded.
std::unique_ptr<LinuxRenderer> linuxRenderer(unsigned long window);

}  // namespace mirel
