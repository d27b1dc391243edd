#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bridge/json/boundary.hpp"
#include "bridge/json/readers.hpp"
#include "bridge/library/device_selection.hpp"
#include "bridge/render/display_settings.hpp"
#include "bridge/render/export_job.hpp"
#include "bridge/render/renderer_binding.hpp"
#include "bridge/run/files.hpp"
#include "bridge/run/options.hpp"
#include "quellmar/quellmar.h"
#include "solver/cuda/cuda_check.hpp"

namespace mirel {
namespace {

using nlohmann::json;

void selectDevice() { cudaCheck(cudaSetDevice(recordedDevice()), "cudaSetDevice(deviceId)"); }

// The initial field named by "initial", for the configuration of the request.
std::vector<float> initialField(const json& request, const Config& config) {
    Options options;
    options.config = config;
    options.initial = path(request, "initial");
    return loadInitial(options);
}

// One headless run: a solver and the lock that serialises the calls on it.
class EngineHandle {
public:
    explicit EngineHandle(const json& request)
        : EngineHandle(request, initialField(request, configuration(request, Config()))) {}

    json call(const char* text);

private:
    EngineHandle(const json& request, const std::vector<float>& initial)
        : solver(configuration(request, Config()), initial) {}

    json advance(const json& request);
    json set(const json& request);
    json reset(const json& request);
    json exportFiles(const json& request);

    std::mutex mutex;
    Solver solver;
};

json EngineHandle::call(const char* text) {
    const std::lock_guard<std::mutex> lock(mutex);
    selectDevice();
    const json request = decode(text);
    const std::string op = existing<std::string>(request, "op", "");
    if (op == "inspect") return statsReport(solver.inspect());
    if (op == "advance") return advance(request);
    if (op == "set") return set(request);
    if (op == "reset") return reset(request);
    if (op == "export") return exportFiles(request);
    throw std::invalid_argument("Unknown engine operation.");
}

json EngineHandle::advance(const json& request) {
    std::optional<double> until;
    if (has(request, "until")) until = scalar(request, "until", 0.0);
    const int steps = existingInteger(request, "steps", 1, -1);
    return statsReport(solver.advance(steps, until));
}

// Both keys are read before either takes effect, so a request with a badly typed key changes
// nothing.
json EngineHandle::set(const json& request) {
    std::optional<double> reynolds;
    std::optional<double> cfl;
    if (has(request, "reynolds")) reynolds = scalar(request, "reynolds", 0.0);
    if (has(request, "cfl")) cfl = scalar(request, "cfl", 0.0);
    if (reynolds) solver.setReynolds(*reynolds);
    if (cfl) solver.setCFL(static_cast<float>(*cfl));
    return json::object();
}

json EngineHandle::reset(const json& request) {
    solver.reset(initialField(request, solver.configuration()));
    return statsReport(solver.inspect());
}

// Every key, and the renderer a PNG needs, comes before the first file is written: a refused
// request leaves the host's files as they were.
json EngineHandle::exportFiles(const json& request) {
    std::optional<std::filesystem::path> spectrum;
    if (has(request, "spectrum")) spectrum = path(request, "spectrum");
    const bool snapshot = existing<bool>(request, "snapshot", false);
    const bool framed = snapshot || has(request, "fields") || has(request, "png");
    const bool velocity = framed && existing<bool>(request, "include_velocity", true);
    const std::optional<std::filesystem::path> fields = fieldsFile(request);
    std::unique_ptr<LinuxRenderer> renderer;
    if (has(request, "png")) renderer = linuxRenderer(0);
    const std::optional<Picture> picture = pictureFile(request);
    const Display display = picture ? displaySettings(request, Display()) : Display();

    if (spectrum) writeFile(*spectrum, solver.spectrum());
    if (!framed) return json::object();
    const std::shared_ptr<Frame> frame = solver.snapshot(velocity);
    if (!frame) throw std::runtime_error("No snapshot slot.");
    exportFields(*frame, fields);
    if (picture) renderer->exportPNG(frame, display, picture->path, picture->size);
    return frameReport(*frame);
}

}  // namespace
}  // namespace mirel

extern "C" {

QM_EXPORT void* qm_engine_create(const char* request, char** error) {
    try {
        mirel::selectDevice();
        const nlohmann::json decoded = mirel::decode(request);
        return new mirel::EngineHandle(decoded);
    } catch (const std::exception& failure) {
        if (error != nullptr) *error = mirel::boundary::copyString(mirel::boundary::asValidUtf8(failure.what()));
    } catch (...) {
        if (error != nullptr) *error = mirel::boundary::copyString("Unknown native failure");
    }
    return nullptr;
}

QM_EXPORT char* qm_engine_call(void* handle, const char* request) {
    return mirel::boundary::reply([&] {
        if (handle == nullptr) throw std::runtime_error("Closed engine.");
        return static_cast<mirel::EngineHandle*>(handle)->call(request);
    });
}

QM_EXPORT void qm_engine_destroy(void* handle) {
    if (handle == nullptr) return;
    // A failed selection is ignored here; it must not stay pending for the thread's next call.
    if (cudaSetDevice(mirel::recordedDevice()) != cudaSuccess) cudaGetLastError();
    delete static_cast<mirel::EngineHandle*>(handle);
}

}  // extern "C"
