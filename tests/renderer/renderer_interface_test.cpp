// The interface that libquellmar and the separately built renderer module share: both sides
// must agree on the records and on the order of the virtual operations, since the module is
// called only through its vtable.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

#include "renderer/renderer.hpp"

namespace {

using mirel::ColorRange;
using mirel::Display;
using mirel::Field;
using mirel::Frame;
using mirel::Geometry;
using mirel::LinuxDesktopRenderer;
using mirel::LinuxRenderer;
using mirel::OverlayButton;
using mirel::Palette;
using mirel::RenderTiming;

// The kinds are 32-bit integers underneath, and their values are those of the other library.
static_assert(std::is_same_v<decltype(Display::field), Field> && std::is_same_v<std::underlying_type_t<Field>, std::int32_t>);
static_assert(std::is_same_v<decltype(Display::palette), Palette> && std::is_same_v<std::underlying_type_t<Palette>, std::int32_t>);
static_assert(std::is_same_v<decltype(Display::colorRange), ColorRange> && std::is_same_v<std::underlying_type_t<ColorRange>, std::int32_t>);
static_assert(static_cast<int>(Field::vorticity) == 0 && static_cast<int>(Field::speed) == 1 && static_cast<int>(Field::enstrophy) == 2);
static_assert(static_cast<int>(Palette::aurora) == 0 && static_cast<int>(Palette::ember) == 1 && static_cast<int>(Palette::glacier) == 2 && static_cast<int>(Palette::inferno) == 3);
static_assert(static_cast<int>(ColorRange::sigma) == 0 && static_cast<int>(ColorRange::exposure) == 1);
static_assert(std::is_same_v<std::underlying_type_t<OverlayButton>, int>);
static_assert(static_cast<int>(OverlayButton::none) == 0 && static_cast<int>(OverlayButton::playPause) == 1 && static_cast<int>(OverlayButton::singleStep) == 2 && static_cast<int>(OverlayButton::reset) == 3);
static_assert(std::is_same_v<decltype(Display::exposure), float>);
static_assert(std::is_same_v<decltype(Display::sigma), float>);
static_assert(std::is_same_v<decltype(Display::flow), bool>);
static_assert(offsetof(Display, field) < offsetof(Display, palette) &&
              offsetof(Display, palette) < offsetof(Display, colorRange) &&
              offsetof(Display, colorRange) < offsetof(Display, exposure) &&
              offsetof(Display, exposure) < offsetof(Display, sigma) && offsetof(Display, sigma) < offsetof(Display, flow));

static_assert(std::is_same_v<decltype(RenderTiming::upload), double>);
static_assert(std::is_same_v<decltype(RenderTiming::drawSubmit), double>);
static_assert(std::is_same_v<decltype(RenderTiming::swap), double>);
static_assert(std::is_same_v<decltype(RenderTiming::uploadCount), std::uint64_t>);
static_assert(std::is_same_v<decltype(RenderTiming::uploadBytes), std::uint64_t>);
static_assert(offsetof(RenderTiming, upload) < offsetof(RenderTiming, drawSubmit) &&
              offsetof(RenderTiming, drawSubmit) < offsetof(RenderTiming, swap) &&
              offsetof(RenderTiming, swap) < offsetof(RenderTiming, uploadCount) &&
              offsetof(RenderTiming, uploadCount) < offsetof(RenderTiming, uploadBytes));

static_assert(std::is_same_v<decltype(Geometry::width), std::int32_t>);
static_assert(std::is_same_v<decltype(Geometry::height), std::int32_t>);
static_assert(std::is_same_v<decltype(Geometry::viewable), bool>);
static_assert(offsetof(Geometry, width) < offsetof(Geometry, height) &&
              offsetof(Geometry, height) < offsetof(Geometry, viewable));

using FramePointer = const std::shared_ptr<Frame>&;
static_assert(std::is_same_v<decltype(&LinuxRenderer::geometry), Geometry (LinuxRenderer::*)()>);
static_assert(std::is_same_v<decltype(&LinuxRenderer::event), OverlayButton (LinuxRenderer::*)()>);
static_assert(std::is_same_v<decltype(&LinuxRenderer::present),
                             RenderTiming (LinuxRenderer::*)(FramePointer, const Display&, unsigned long, double, bool,
                                                             double)>);
static_assert(std::is_same_v<decltype(&LinuxRenderer::exportPNG),
                             void (LinuxRenderer::*)(FramePointer, const Display&, const std::filesystem::path&, int)>);
static_assert(std::is_same_v<decltype(&LinuxDesktopRenderer::openDesktop),
                             void (LinuxDesktopRenderer::*)(const char*, int, int)>);
static_assert(std::is_same_v<decltype(&LinuxDesktopRenderer::desktopDisplay), ::_XDisplay* (LinuxDesktopRenderer::*)()>);
static_assert(std::is_same_v<decltype(&LinuxDesktopRenderer::desktopWindow), unsigned long (LinuxDesktopRenderer::*)()>);
static_assert(std::is_same_v<decltype(&LinuxDesktopRenderer::renderTexture),
                             unsigned (LinuxDesktopRenderer::*)(FramePointer, const Display&, int, RenderTiming&)>);
static_assert(std::is_same_v<decltype(&LinuxDesktopRenderer::presentDesktop), void (LinuxDesktopRenderer::*)()>);
static_assert(std::is_same_v<decltype(&qm_gl_create), LinuxRenderer* (*)(unsigned long, int)>);
static_assert(std::is_same_v<decltype(&qm_gl_create_desktop), LinuxRenderer* (*)(int)>);

static_assert(std::is_abstract_v<LinuxRenderer> && std::has_virtual_destructor_v<LinuxRenderer>);
static_assert(std::is_base_of_v<LinuxRenderer, LinuxDesktopRenderer>);

// The vtable slot of a virtual member: in the Itanium C++ ABI its member pointer holds one plus
// the slot's byte offset.
template <typename Member>
std::ptrdiff_t slot(Member member) {
    struct Representation {
        std::uintptr_t pointer;
        std::ptrdiff_t adjustment;
    } representation;
    static_assert(sizeof(Member) == sizeof(Representation));
    std::memcpy(&representation, &member, sizeof representation);
    EXPECT_EQ(representation.pointer % sizeof(void*), 1u) << "not a virtual member";
    return static_cast<std::ptrdiff_t>(representation.pointer / sizeof(void*));
}

TEST(RendererInterface, VirtualOperationsInTheirSlots) {
    // Slots 0 and 1 hold the two destructor entries.
    EXPECT_EQ(slot(&LinuxRenderer::geometry), 2);
    EXPECT_EQ(slot(&LinuxRenderer::event), 3);
    EXPECT_EQ(slot(&LinuxRenderer::present), 4);
    EXPECT_EQ(slot(&LinuxRenderer::exportPNG), 5);
    EXPECT_EQ(slot(&LinuxDesktopRenderer::openDesktop), 6);
    EXPECT_EQ(slot(&LinuxDesktopRenderer::desktopDisplay), 7);
    EXPECT_EQ(slot(&LinuxDesktopRenderer::desktopWindow), 8);
    EXPECT_EQ(slot(&LinuxDesktopRenderer::renderTexture), 9);
    EXPECT_EQ(slot(&LinuxDesktopRenderer::presentDesktop), 10);
}

// Implements exactly the operations owners rely on: an extra pure virtual in the interface, or a
// signature that differs, stops this from compiling.
class Probe final : public LinuxDesktopRenderer {
public:
    explicit Probe(bool& destroyed) : destroyed(destroyed) {}
    ~Probe() override { destroyed = true; }
    Geometry geometry() override { return {}; }
    OverlayButton event() override { return OverlayButton::none; }
    RenderTiming present(FramePointer, const Display&, unsigned long, double, bool, double) override { return {}; }
    void exportPNG(FramePointer, const Display&, const std::filesystem::path&, int) override {}
    void openDesktop(const char*, int, int) override {}
    ::_XDisplay* desktopDisplay() override { return nullptr; }
    unsigned long desktopWindow() override { return 0; }
    unsigned renderTexture(FramePointer, const Display&, int, RenderTiming&) override { return 0; }
    void presentDesktop() override {}

private:
    bool& destroyed;
};

TEST(RendererInterface, OwnersDeleteThroughTheBase) {
    bool destroyed = false;
    std::unique_ptr<LinuxRenderer> renderer = std::make_unique<Probe>(destroyed);
    renderer.reset();
    EXPECT_TRUE(destroyed);
}

TEST(RendererInterface, DisplayDefaults) {
    const Display d;
    EXPECT_EQ(d.field, Field::vorticity);
    EXPECT_EQ(d.palette, Palette::ember);
    EXPECT_EQ(d.colorRange, ColorRange::sigma);
    EXPECT_EQ(d.exposure, 1.2f);
    EXPECT_EQ(d.sigma, 2.5f);
    EXPECT_FALSE(d.flow);
}

}  // namespace
