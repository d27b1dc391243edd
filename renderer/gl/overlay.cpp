#include <algorithm>
#include <cmath>
#include <locale>
#include <sstream>
#include <string>

#include "renderer/gl/gl_renderer.hpp"
#include "renderer/gl/overlay_layout.hpp"

namespace mirel {
namespace {

constexpr double pi = 3.14159265358979323846;

void fill() { glColor4f(0.0f, 0.0f, 0.0f, 0.35f); }
void ink() { glColor4f(0.9f, 0.92f, 0.95f, 1.0f); }

void vertex(double x, double y) { glVertex2d(x, y); }

// A rectangle from (x1, y1) to (x2, y2) with rounded corners as one triangle fan: the centre,
// four corner arcs of nine vertices (right/bottom, left/bottom, left/top, right/top; with y
// downwards 0 degrees points right and 90 degrees down), and a closing vertex.
void pill(double x1, double y1, double x2, double y2) {
    const double r = std::min((y2 - y1) / 2.0, 18.0);
    const double cornerX[4] = {x2 - r, x1 + r, x1 + r, x2 - r};
    const double cornerY[4] = {y2 - r, y2 - r, y1 + r, y1 + r};
    fill();
    glBegin(GL_TRIANGLE_FAN);
    vertex((x1 + x2) / 2.0, (y1 + y2) / 2.0);
    for (int j = 0; j < 4; ++j) {
        for (int k = 0; k <= 8; ++k) {
            const double a = (j + k / 8.0) * pi / 2.0;
            vertex(cornerX[j] + r * std::cos(a), cornerY[j] + r * std::sin(a));
        }
    }
    vertex(x2, y2 - r);
    glEnd();
}

void text(GLuint fontListBase, double x, double y, const std::string& characters) {
    if (fontListBase == 0) return;
    ink();
    glRasterPos2d(x, y);
    glListBase(fontListBase);
    glCallLists(static_cast<GLsizei>(characters.size()), GL_UNSIGNED_BYTE, characters.data());
}

void triangle(double x1, double y1, double x2, double y2, double x3, double y3) {
    glBegin(GL_TRIANGLES);
    vertex(x1, y1);
    vertex(x2, y2);
    vertex(x3, y3);
    glEnd();
}

void quad(double x1, double y1, double x2, double y2) {
    glBegin(GL_QUADS);
    vertex(x1, y1);
    vertex(x2, y1);
    vertex(x2, y2);
    vertex(x1, y2);
    glEnd();
}

void icons(double H, bool running) {
    ink();
    if (running) {
        quad(28, H - 39, 31, H - 24);
        quad(35, H - 39, 38, H - 24);
    } else {
        triangle(29, H - 40, 29, H - 23, 42, H - 31.5);
    }
    triangle(65, H - 40, 65, H - 23, 75, H - 31.5);
    glBegin(GL_LINES);
    vertex(78, H - 40);
    vertex(78, H - 23);
    glEnd();
    glBegin(GL_LINE_STRIP);
    for (int k = 0; k <= 24; ++k) {
        const double a = (45.0 + k * 11.25) * pi / 180.0;
        vertex(109 + 7 * std::cos(a), H - 32 + 7 * std::sin(a));
    }
    glEnd();
    triangle(110, H - 42, 116, H - 36, 110, H - 36);
}

std::string timeText(double time) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.setf(std::ios::fixed);
    out.precision(3);
    out << "t " << time;
    return out.str();
}

}  // namespace

void Renderer::overlay(unsigned long seed, double time, bool running) {
    const double W = width / uiScale;
    const double H = height / uiScale;
    glViewport(0, 0, width, height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0, W, H, 0, -1, 1);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);

    // The label's width assumes 6 points per character of the font "fixed".
    const std::string label = "UNFORCED - SEED " + std::to_string(seed);
    pill(14, 14, 6.0 * static_cast<double>(label.size()) + 34, 40);
    text(fontListBase.get(), 24, 31, label);

    pill(layout::barLeft, layout::barTop(H), layout::barRight, layout::barBottom(H));
    icons(H, running);

    pill(W - 114, H - 46, W - 14, H - 17);
    text(fontListBase.get(), W - 104, H - 27, timeText(time));

    glDisable(GL_BLEND);
}

}  // namespace mirel
