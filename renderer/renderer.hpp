#pragma once

// The interface between libquellmar and its renderer module libquellmar_gl, shared by both
// libraries. Exceptions (std::runtime_error) cross from the module into the library.

#include <cstdint>
#include <filesystem>
#include <memory>

#include "mirel/solver.hpp"

struct _XDisplay;  // Xlib's Display

namespace mirel {

// The kinds of Display are 32-bit, as both libraries lay the record out. The shader takes any
// value: a field that is neither vorticity nor speed shades as enstrophy, a palette other than
// the four as aurora.
enum class Field : std::int32_t {
    vorticity,
    speed,
    enstrophy,
};
enum class Palette : std::int32_t {
    aurora,
    ember,
    glacier,
    inferno,
};
// How vorticity is mapped to colour.
enum class ColorRange : std::int32_t {
    sigma,
    exposure,
};

// How frames are drawn.
struct Display {
    Field field = Field::vorticity;
    Palette palette = Palette::ember;
    ColorRange colorRange = ColorRange::sigma;
    float exposure = 1.2f;
    float sigma = 2.5f;
    bool flow = false;
};

// Speed shading and flow lines read a frame's velocity planes; frames for any other display can
// be taken without them.
inline bool needsVelocity(const Display& display) { return display.field == Field::speed || display.flow; }

// What a click on the overlay's bar asks for.
enum class OverlayButton : std::int32_t {
    none,
    playPause,
    singleStep,
    reset,
};

// What one presentation or texture render cost.
struct RenderTiming {
    double upload = 0.0;
    double drawSubmit = 0.0;
    double swap = 0.0;
    std::uint64_t uploadCount = 0;
    std::uint64_t uploadBytes = 0;
};

// The watched window's size in physical pixels.
struct Geometry {
    std::int32_t width = 1;
    std::int32_t height = 1;
    bool viewable = false;
};

// A renderer lives on the thread that created it; every operation runs there, and so does its
// deletion.
class LinuxRenderer {
public:
    virtual ~LinuxRenderer() = default;
    virtual Geometry geometry() = 0;
    // The first overlay button clicked since the last call, or none.
    virtual OverlayButton event() = 0;
    virtual RenderTiming present(const std::shared_ptr<Frame>& frame, const Display& display, unsigned long seed,
                                 double time, bool running, double scale) = 0;
    virtual void exportPNG(const std::shared_ptr<Frame>& frame, const Display& display,
                           const std::filesystem::path& path, int size) = 0;
};

class LinuxDesktopRenderer : public LinuxRenderer {
public:
    virtual void openDesktop(const char* title, int width, int height) = 0;
    virtual ::_XDisplay* desktopDisplay() = 0;
    virtual unsigned long desktopWindow() = 0;
    // An OpenGL texture name.
    virtual unsigned renderTexture(const std::shared_ptr<Frame>& frame, const Display& display, int size,
                                   RenderTiming& timing) = 0;
    virtual void presentDesktop() = 0;
};

}  // namespace mirel

// The module's factories, resolved by name at run time. The caller owns the renderer and
// deletes it through the virtual destructor; a failure throws, never returns null.
extern "C" {
mirel::LinuxRenderer* qm_gl_create(unsigned long hostWindow, int cudaDevice);
mirel::LinuxRenderer* qm_gl_create_desktop(int cudaDevice);
}
