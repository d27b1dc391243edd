#include "bridge/json/readers.hpp"
#include "bridge/render/display_settings.hpp"
#include "bridge/ui/ui_globals.hpp"
#include "bridge/ui/ui_handle.hpp"

namespace mirel {

using nlohmann::json;

// One critical section, so that everything the report shows belongs to one moment.
json UIHandle::report() {
    const std::lock_guard<std::mutex> lock(mutex);
    const ViewState view = viewLocked();
    const double effectiveReynolds = view.stats.reynolds > 0.0 ? view.stats.reynolds : view.config.reynolds;
    const Display& display = options.display;
    json error = nullptr;
    if (!renderError.empty())
        error = renderError;
    else if (!view.errorMessage.empty())
        error = view.errorMessage;

    json result = {
        {"config", configReport(view.config)},
        {"ready", view.ready},
        {"running", view.running},
        {"settled", view.settled},
        {"generation", view.generation},
        {"gpu", recordedGpuName()},
        {"backend", "CUDA / VkFFT"},
        {"error_message", error},
        {"regulated", view.regulated},
        {"effective_reynolds", effectiveReynolds},
        {"palinstrophy_control", 10000.0 * view.stats.palinstrophyRatio},
        {"display", fieldNames[static_cast<int>(display.field)]},
        {"palette", paletteNames[static_cast<int>(display.palette)]},
        {"color_range", rangeNames[static_cast<int>(display.colorRange)]},
        {"flow", display.flow},
        {"exposure", exposureSetting},
        {"sigma", sigmaSetting},
        {"focused", focused},
        {"exporting", exporting},
        {"elapsed_seconds", view.elapsedSeconds},
        {"presentations", presentations},
        {"allocated_bytes", view.stats.allocatedBytes},
        {"history", view.history},
        {"performance",
         {{"simtime_per_s", view.simtimePerSecond},
          {"turnovers_per_s", view.turnoversPerSecond},
          {"steps_per_s", view.stepsPerSecond},
          {"milliseconds_per_step", view.stepsPerSecond > 0.0 ? 1000.0 / view.stepsPerSecond : 0.0},
          {"batch_steps", view.batchSteps}}},
        {"rendering",
         {{"api", "CUDA / OpenGL"},
          {"uploads", uploads},
          {"device_copy_bytes", deviceCopyBytes},
          {"presentation_seconds", lastPresentation - firstPresentation},
          {"upload_seconds", uploadSeconds},
          {"draw_submit_seconds", drawSubmitSeconds},
          {"swap_seconds", swapSeconds}}},
    };
    if (view.ready) result["stats"] = statsReport(view.stats);
    if (view.frame) result["frame"] = frameReport(*view.frame);
    if (parentWindow != 0)
        result["canvas"] = {
            {"width_points", geometry.width / canvasScale},
            {"height_points", geometry.height / canvasScale},
            {"scale", canvasScale},
            {"visible", visible && geometry.viewable},
        };
    return result;
}

}  // namespace mirel
