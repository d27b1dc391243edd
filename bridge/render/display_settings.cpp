#include "bridge/render/display_settings.hpp"

#include <algorithm>

#include "bridge/json/readers.hpp"

namespace mirel {

Display displaySettings(const nlohmann::json& request, Display base) {
    Display display = base;
    display.field = choice(request, "display", fieldNames, base.field);
    display.palette = choice(request, "palette", paletteNames, base.palette);
    display.colorRange = choice(request, "color_range", rangeNames, base.colorRange);
    display.exposure = static_cast<float>(std::clamp(scalar(request, "exposure", base.exposure), 0.25, 3.0));
    display.sigma = static_cast<float>(std::clamp(scalar(request, "sigma", base.sigma), 1.5, 3.5));
    display.flow = flag(request, "flow", base.flow);
    return display;
}

}  // namespace mirel
