#pragma once

#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "mirel/solver.hpp"
#include "renderer/renderer.hpp"

namespace mirel {

// Work handed to the render thread, run there with its renderer.
using RenderTask = std::function<void(LinuxRenderer&)>;

// The keys of the files that an export draws from its frame. They are read before any file is
// written, so that a request refused for one of its keys leaves every file as it was.

// "fields": the fields file, when the request names one.
std::optional<std::filesystem::path> fieldsFile(const nlohmann::json& request);

// A PNG to draw: "png", and its side "pixel_size" (1800 when absent), 1 through 8192.
struct Picture {
    std::filesystem::path path;
    int size;
};
// The request's PNG, when it names one; the size is read before the path.
std::optional<Picture> pictureFile(const nlohmann::json& request);

// Writes the frame's three planes as the fields file, when there is one.
void exportFields(const Frame& frame, const std::optional<std::filesystem::path>& fields);

// The export of a UI request for the render thread: the fields file, then the PNG ("png") drawn
// with display. done is kept when both are written and holds the failure otherwise.
RenderTask exportJob(std::shared_ptr<Frame> frame, Display display, nlohmann::json request,
                     std::shared_ptr<std::promise<void>> done);

}  // namespace mirel
