#include "renderer/gl/font.hpp"

namespace mirel {
namespace {

// The metrics of code c, or null when the font has no glyph for it.
const XCharStruct* glyph(const XFontStruct& font, unsigned c) {
    if (font.min_byte1 != 0 || c < font.min_char_or_byte2 || c > font.max_char_or_byte2) return nullptr;
    return font.per_char != nullptr ? &font.per_char[c - font.min_char_or_byte2] : &font.max_bounds;
}

}  // namespace

GLuint fixedFontLists(::Display* connection) {
    XFontStruct* font = XLoadQueryFont(connection, "fixed");
    if (font == nullptr) return 0;
    const GLuint base = glGenLists(fontGlyphs);
    glXUseXFont(font->fid, 0, fontGlyphs, static_cast<int>(base));
    // A glyph without pixels (the space) is an empty bitmap that only moves the raster position;
    // some drivers (Mesa) refuse to compile an empty bitmap into a list, raising an error and
    // losing the move. Such glyphs get a one-pixel bitmap with no bit set instead.
    while (glGetError() != GL_NO_ERROR) {
    }
    static const GLubyte noBits = 0;
    for (unsigned c = 0; c < fontGlyphs; ++c) {
        const XCharStruct* g = glyph(*font, c);
        if (g == nullptr || (g->rbearing > g->lbearing && g->ascent + g->descent > 0)) continue;
        glNewList(base + c, GL_COMPILE);
        glBitmap(1, 1, 0.0f, 0.0f, static_cast<float>(g->width), 0.0f, &noBits);
        glEndList();
    }
    XFreeFont(connection, font);
    return base;
}

void deleteFontLists(GLuint base) {
    if (base != 0) glDeleteLists(base, fontGlyphs);
}

}  // namespace mirel
