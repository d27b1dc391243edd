#pragma once

#include <gtest/gtest.h>

#include <cuda_runtime_api.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "renderer/renderer.hpp"
#include "support/temp_folder.hpp"
#include "x_session.hpp"

namespace test {

// Renderers on CUDA device 0 for the display named by DISPLAY (scripts/test starts Xvfb when
// none is set).
class RendererTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "needs an X display: DISPLAY is not set";
        x = std::make_unique<XSession>();
    }

    static std::unique_ptr<mirel::LinuxDesktopRenderer> own(mirel::LinuxRenderer* renderer) {
        auto* desktop = dynamic_cast<mirel::LinuxDesktopRenderer*>(renderer);
        EXPECT_NE(desktop, nullptr);
        return std::unique_ptr<mirel::LinuxDesktopRenderer>(desktop);
    }
    static std::unique_ptr<mirel::LinuxDesktopRenderer> desktop() { return own(qm_gl_create_desktop(0)); }
    static std::unique_ptr<mirel::LinuxDesktopRenderer> hosted(Window host) { return own(qm_gl_create(host, 0)); }

    // Follows the host's size. Some drivers (Mesa's) give the drawable a resized window's size
    // only at the next buffer swap, so a presentation follows.
    static void settle(mirel::LinuxRenderer& r) {
        r.geometry();
        r.present(nullptr, mirel::Display{}, 0, 0.0, false, 1.0);
    }

    // What the renderer's window shows, once the X server has carried out its requests.
    Capture shown(mirel::LinuxDesktopRenderer& r) {
        r.geometry();
        return x->capture(r.desktopWindow());
    }

    std::unique_ptr<XSession> x;
    TempFolder folder{"renderer"};
};

// Open file descriptors of this process: a leaked X connection shows here.
inline int openDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

}  // namespace test
