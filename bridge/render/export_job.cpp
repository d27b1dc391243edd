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

std::optional<std::filesystem::path> fieldsFile(const json& request) {
    if (!has(request, "fields")) return std::nullopt;
    return path(request, "fields");
}

std::optional<Picture> pictureFile(const json& request) {
    if (!has(request, "png")) return std::nullopt;
    const int size = existingInteger(request, "pixel_size", 1800, 0);
    if (size < 1 || size > 8192) throw std::invalid_argument("PNG size must be 1 through 8192.");
    return Picture{path(request, "png"), size};
}

void exportFields(const Frame& f, const std::optional<std::filesystem::path>& fields) {
    if (!fields) return;
    std::vector<float> data(static_cast<std::size_t>(3) * f.grid_size * f.grid_size);
    cudaCheck(cudaMemcpy(data.data(), f.data(), data.size() * sizeof(float), cudaMemcpyDeviceToHost),
              "cudaMemcpy(data.data(),f.data(),data.size()*sizeof(float),cudaMemcpyDeviceToHost)");
    writeFile(*fields, data);
}

RenderTask exportJob(std::shared_ptr<Frame> frame, Display display, json request,
                     std::shared_ptr<std::promise<void>> done) {
    return [frame = std::move(frame), display, request = std::move(request), done = std::move(done)](
               LinuxRenderer& renderer) {
        try {
            const std::optional<std::filesystem::path> fields = fieldsFile(request);
            const std::optional<Picture> picture = pictureFile(request);
            exportFields(*frame, fields);
            if (picture) renderer.exportPNG(frame, display, picture->path, picture->size);
            done->set_value();
        } catch (...) {
            done->set_exception(std::current_exception());
        }
    };
}

}  // namespace mirel
