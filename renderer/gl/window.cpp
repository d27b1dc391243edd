#include <algorithm>
#include <stdexcept>

#include "renderer/gl/gl_renderer.hpp"
#include "renderer/gl/overlay_layout.hpp"

namespace mirel {
namespace {

// Key presses and releases, buttons, leaving, pointer motion, structure and focus changes.
constexpr long desktopEvents = 0x22006F;

}  // namespace

OverlayButton Renderer::event() {
    while (XPending(xDisplay.get()) != 0) {
        XEvent e{};
        XNextEvent(xDisplay.get(), &e);
        if (e.type == KeyPress || e.type == KeyRelease) {
            // The host's toolkit sees the keys typed while the pointer is over the canvas.
            if (hostWindow == 0) continue;
            e.xkey.window = hostWindow;
            XSendEvent(xDisplay.get(), hostWindow, True, e.type == KeyPress ? KeyPressMask : KeyReleaseMask, &e);
            // XPending sends nothing while events are queued, and a click may end the loop.
            XFlush(xDisplay.get());
        } else if (e.type == ButtonRelease && e.xbutton.button == Button1) {
            const OverlayButton button = layout::buttonAt(e.xbutton.x / uiScale, e.xbutton.y / uiScale, height / uiScale);
            if (button != OverlayButton::none) return button;
        }
    }
    return OverlayButton::none;
}

bool Renderer::windowAttributes(XWindowAttributes& attributes) {
    if (!window.gone() && XGetWindowAttributes(xDisplay.get(), window.get(), &attributes) != 0) return true;
    window.markGone();
    return false;
}

Geometry Renderer::geometry() {
    XWindowAttributes attributes;
    if (desktopOpen) {
        if (!windowAttributes(attributes)) throw std::runtime_error("The desktop window was destroyed.");
        width = std::max(1, attributes.width);
        height = std::max(1, attributes.height);
        return {width, height, attributes.map_state == IsViewable};
    }
    if (hostWindow != 0) {
        if (XGetWindowAttributes(xDisplay.get(), hostWindow, &attributes) == 0) {
            // The canvas window went with its parent.
            window.markGone();
            throw std::runtime_error("The canvas window was destroyed.");
        }
        if (attributes.width != width || attributes.height != height) {
            width = std::max(1, attributes.width);
            height = std::max(1, attributes.height);
            if (!window.gone()) {
                XResizeWindow(xDisplay.get(), window.get(), static_cast<unsigned>(width), static_cast<unsigned>(height));
                // The next presentation must find the drawable at its new size.
                XFlush(xDisplay.get());
            }
        }
        // The host may unmap or destroy the canvas window inside a window that stays; the
        // canvas's own map state is viewable only while the host's is too.
        XWindowAttributes canvas;
        return {width, height, windowAttributes(canvas) && canvas.map_state == IsViewable};
    }
    return {width, height, false};
}

void Renderer::openDesktop(const char* title, int width, int height) {
    if (hostWindow != 0 || desktopOpen) throw std::runtime_error("Renderer already has a host.");
    desktopOpen = true;
    this->width = std::max(1, width);
    this->height = std::max(1, height);
    XSelectInput(xDisplay.get(), window.get(), desktopEvents);
    XStoreName(xDisplay.get(), window.get(), title);
    XResizeWindow(xDisplay.get(), window.get(), static_cast<unsigned>(this->width), static_cast<unsigned>(this->height));
    XMapWindow(xDisplay.get(), window.get());
    XFlush(xDisplay.get());
}

::_XDisplay* Renderer::desktopDisplay() { return xDisplay.get(); }

unsigned long Renderer::desktopWindow() { return window.get(); }

}  // namespace mirel
