#include "bridge/render/export_job.hpp"

#include <cstddef>
#include <stdexcept>
#include <utility>
#include <vector>

#include "bridge/json/readers.hpp"
#include "bridge/run/files.hpp"
#include "solver/cuda/cuda_check.hpp"

namespace mirel {

using nlohmann::json;

void exportFields(const Frame& f, const json& request) {
    if (!has(request, "fields")) return;
    std::vector<float> data(static_cast<std::size_t>(3) * f.grid_size * f.grid_size);
    cudaCheck(cudaMemcpy(data.data(), f.data(), data.size() * sizeof(float), cudaMemcpyDeviceToHost),
              "cudaMemcpy(data.data(),f.data(),data.size()*sizeof(float),cudaMemcpyDeviceToHost)");
    writeFile(path(request, "fields"), data);
}

int pixelSize(const json& request) {
    const int size = existing<int>(request, "pixel_size", 1800);
    if (size < 1 || size > 8192) throw std::invalid_argument("PNG size must be 1 through 8192.");
    return size;
}

RenderTask exportJob(std::shared_ptr<Frame> frame, Display display, json request,
                     std::shared_ptr<std::promise<void>> done) {
    return [frame = std::move(frame), display, request = std::move(request), done = std::move(done)](
               LinuxRenderer& renderer) {
        try {
            exportFields(*frame, request);
            if (has(request, "png")) {
                const int size = pixelSize(request);
                renderer.exportPNG(frame, display, path(request, "png"), size);
            }
            done->set_value();
        } catch (...) {
            done->set_exception(std::current_exception());
        }
    };
}

}  // namespace mirel
