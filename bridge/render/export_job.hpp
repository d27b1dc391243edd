#pragma once

#include <functional>
#include <future>
#include <memory>

#include <nlohmann/json.hpp>

#include "mirel/solver.hpp"
#include "renderer/renderer.hpp"

namespace mirel {

// Work handed to the render thread, run there with its renderer.
using RenderTask = std::function<void(LinuxRenderer&)>;

// Writes the frame's three planes as the fields file when the request names one ("fields").
void exportFields(const Frame& frame, const nlohmann::json& request);

// The side of a requested PNG: "pixel_size" (1800 when absent), 1 through 8192.
int pixelSize(const nlohmann::json& request);

// The export of a UI request for the render thread: the fields file, then the PNG ("png") drawn
// with display. done is kept when both are written and holds the failure otherwise.
RenderTask exportJob(std::shared_ptr<Frame> frame, Display display, nlohmann::json request,
                     std::shared_ptr<std::promise<void>> done);

}  // namespace mirel
