#pragma once

// The test's side of the X display: its own connection, host windows, captures of what a
// renderer showed, and synthetic input.

#include <chrono>
#include <stdexcept>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "support/canvas.hpp"
#include "support/polling.hpp"

// Xlib's polygon shape macro would rename mirel::Complex.
#undef Complex

namespace test {

// What a window shows, row by row from the top.
struct Capture {
    int width = 0;
    int height = 0;
    std::vector<RGB8> pixels;
    RGB8 at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

class XSession {
public:
    XSession() : display(XOpenDisplay(nullptr)) {
        if (display == nullptr) throw std::runtime_error("no X display");
    }
    ~XSession() { XCloseDisplay(display); }
    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;

    // A top-level window that selects events (the keys sent to it, unless asked otherwise);
    // mapped unless asked otherwise. Tests running at the same time put their windows at the same
    // place: with backing store, what a window shows can be read even where others cover it.
    Window hostWindow(int width, int height, bool mapped = true, long events = KeyPressMask | KeyReleaseMask) {
        const Window w = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, width, height, 0, 0, 0);
        XSetWindowAttributes attributes{};
        attributes.backing_store = Always;
        XChangeWindowAttributes(display, w, CWBackingStore, &attributes);
        XSelectInput(display, w, events);
        if (mapped) XMapWindow(display, w);
        XSync(display, False);
        return w;
    }

    std::vector<Window> children(Window w) {
        Window root = 0, parent = 0, *list = nullptr;
        unsigned count = 0;
        if (XQueryTree(display, w, &root, &parent, &list, &count) == 0) return {};
        std::vector<Window> result(list, list + count);
        if (list != nullptr) XFree(list);
        return result;
    }

    XWindowAttributes attributes(Window w) {
        XWindowAttributes a{};
        XGetWindowAttributes(display, w, &a);
        return a;
    }

    Capture capture(Window w) {
        const XWindowAttributes a = attributes(w);
        XImage* image = XGetImage(display, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
        if (image == nullptr) throw std::runtime_error("window cannot be read");
        Capture c{a.width, a.height, {}};
        c.pixels.reserve(static_cast<std::size_t>(a.width) * a.height);
        for (int y = 0; y < a.height; ++y) {
            for (int x = 0; x < a.width; ++x) {
                const unsigned long p = XGetPixel(image, x, y);
                c.pixels.push_back({static_cast<int>((p & image->red_mask) >> 16),
                                    static_cast<int>((p & image->green_mask) >> 8),
                                    static_cast<int>(p & image->blue_mask)});
            }
        }
        XDestroyImage(image);
        return c;
    }

    void sendButtonRelease(Window w, int x, int y, unsigned button) {
        XEvent e{};
        e.xbutton.type = ButtonRelease;
        e.xbutton.x = x;
        e.xbutton.y = y;
        e.xbutton.button = button;
        send(w, e, ButtonReleaseMask);
    }

    void sendKey(Window w, int type, unsigned keycode) {
        XEvent e{};
        e.xkey.type = type;
        e.xkey.keycode = keycode;
        send(w, e, type == KeyPress ? KeyPressMask : KeyReleaseMask);
    }

    // The next event of type on window w within two seconds.
    bool waitFor(Window w, int type, XEvent& found) {
        return pollUntil([&] { return XCheckTypedWindowEvent(display, w, type, &found) != False; }, std::chrono::seconds(2),
                         std::chrono::milliseconds(5));
    }

    Display* const display;

private:
    // Pointer and key events share their layout up to the fields set here.
    void send(Window w, XEvent& e, long mask) {
        e.xkey.display = display;
        e.xkey.window = w;
        e.xkey.same_screen = True;
        XSendEvent(display, w, False, mask, &e);
        XSync(display, False);
    }
};

}  // namespace test
