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
    while (XPending(xDisplay) != 0) {
        XEvent e{};
        XNextEvent(xDisplay, &e);
        if (e.type == KeyPress || e.type == KeyRelease) {
            // The host's toolkit sees the keys typed while the pointer is over the canvas.
            if (hostWindow == 0) continue;
            e.xkey.window = hostWindow;
            XSendEvent(xDisplay, hostWindow, True, e.type == KeyPress ? KeyPressMask : KeyReleaseMask, &e);
            // XPending sends nothing while events are queued, and a click may end the loop.
            XFlush(xDisplay);
        } else if (e.type == ButtonRelease && e.xbutton.button == Button1) {
            const OverlayButton button = layout::buttonAt(e.xbutton.x / uiScale, e.xbutton.y / uiScale, height / uiScale);
            if (button != OverlayButton::none) return button;
        }
    }
    return OverlayButton::none;
}

bool Renderer::windowAttributes(XWindowAttributes& attributes) {
    if (!windowGone && XGetWindowAttributes(xDisplay, window, &attributes) != 0) return true;
    windowGone = true;
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
        if (XGetWindowAttributes(xDisplay, hostWindow, &attributes) == 0) {
            // The canvas window went with its parent.
            windowGone = true;
            throw std::runtime_error("The canvas window was destroyed.");
        }
        if (attributes.width != width || attributes.height != height) {
            width = std::max(1, attributes.width);
            height = std::max(1, attributes.height);
            if (!windowGone) {
                XResizeWindow(xDisplay, window, static_cast<unsigned>(width), static_cast<unsigned>(height));
                // The next presentation must find the drawable at its new size.
                XFlush(xDisplay);
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
    XSelectInput(xDisplay, window, desktopEvents);
    XStoreName(xDisplay, window, title);
    XResizeWindow(xDisplay, window, static_cast<unsigned>(this->width), static_cast<unsigned>(this->height));
    XMapWindow(xDisplay, window);
    XFlush(xDisplay);
}

::_XDisplay* Renderer::desktopDisplay() { return xDisplay; }

unsigned long Renderer::desktopWindow() { return window; }

}  // namespace mirel
