#include "ui.hpp"

#include <pthread.h>

#include <filesystem>

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

}  // namespace mirel
