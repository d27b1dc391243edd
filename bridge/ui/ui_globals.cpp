#include "bridge/ui/ui_globals.hpp"

#include <mutex>

namespace mirel {
namespace {

struct Globals {
    std::mutex mutex;
    bool initialized = false;
    pthread_t mainThread{};
    std::string gpuName;
    std::filesystem::path resources;
};

Globals& globals() {
    static Globals instance;
    return instance;
}

}  // namespace

void initializeLinuxUI(const char* folder, const std::string& name) {
    Globals& g = globals();
    const std::lock_guard<std::mutex> lock(g.mutex);
    g.initialized = true;
    g.mainThread = pthread_self();
    g.gpuName = name;
    g.resources = folder != nullptr ? std::filesystem::path(folder) : std::filesystem::path();
}

bool onMainThread() {
    Globals& g = globals();
    const std::lock_guard<std::mutex> lock(g.mutex);
    return g.initialized && pthread_equal(g.mainThread, pthread_self()) != 0;
}

std::string recordedGpuName() {
    Globals& g = globals();
    const std::lock_guard<std::mutex> lock(g.mutex);
    return g.gpuName;
}

std::filesystem::path resourcesFolder() {
    Globals& g = globals();
    const std::lock_guard<std::mutex> lock(g.mutex);
    return g.resources;
}

}  // namespace mirel
