#pragma once

#include <pthread.h>

#include <filesystem>
#include <string>

namespace mirel {

// Records the calling thread as the UI main thread, the GPU name for status reports and the
// folder that holds the renderer module (empty when resources is null). qm_initialize may run
// again while render and controller threads read these, so every access is locked.
void initializeLinuxUI(const char* resources, const std::string& gpuName);

bool onMainThread();
std::string recordedGpuName();
std::filesystem::path resourcesFolder();

}  // namespace mirel
