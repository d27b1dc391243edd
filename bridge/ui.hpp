#pragma once

#include <string>

namespace mirel {

// Records the calling thread as the UI main thread, the GPU name for status reports and the
// folder that holds the renderer module (empty when resources is null).
void initializeLinuxUI(const char* resources, const std::string& gpuName);

// Whether this library was built together with its renderer module.
bool linuxRenderingBuilt();

}  // namespace mirel
