#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <png.h>

#include "renderer/gl/gl_renderer.hpp"
#include "renderer/replace_file.hpp"

namespace mirel {
namespace {

// The off-screen target of one export; gone, and the window's framebuffer bound again, however
// the export ends.
class ExportTarget {
public:
    explicit ExportTarget(int size) {
        glGenTextures(1, &texture);
        glBindTexture(GL_TEXTURE_2D, texture);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, size, size, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
        glGenFramebuffers(1, &framebuffer);
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
    }
    ~ExportTarget() {
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glDeleteFramebuffers(1, &framebuffer);
        glDeleteTextures(1, &texture);
    }
    ExportTarget(const ExportTarget&) = delete;
    ExportTarget& operator=(const ExportTarget&) = delete;

private:
    GLuint texture = 0;
    GLuint framebuffer = 0;
};

void writePNG(const std::filesystem::path& path, int size, const std::vector<unsigned char>& rows) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(size);
    image.height = static_cast<png_uint_32>(size);
    image.format = PNG_FORMAT_RGBA;
    // Encoded in memory first, so that the file is replaced like every other result file: libpng's
    // own file writer removes what it failed to write, the file it replaced included. The bound
    // is never reached, and the pages beyond the encoded bytes stay untouched.
    png_alloc_size_t bytes = PNG_IMAGE_PNG_SIZE_MAX(image);
    const std::unique_ptr<unsigned char[]> encoded(new unsigned char[bytes]);
    if (png_image_write_to_memory(&image, encoded.get(), &bytes, 0, rows.data(), 0, nullptr) == 0)
        throw std::runtime_error(std::string("Write PNG: ") + image.message);
    if (const std::error_code error = replaceFile(path, encoded.get(), bytes))
        throw std::runtime_error("Write PNG: " + error.message());
}

}  // namespace

void Renderer::exportPNG(const std::shared_ptr<Frame>& frame, const Display& display, const std::filesystem::path& path,
                         int size) {
    upload(frame);
    const ExportTarget target(size);
    if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE)
        throw std::runtime_error("PNG framebuffer is incomplete.");
    draw(*frame, display, size, 0.0f);

    const std::size_t row = 4 * static_cast<std::size_t>(size);
    std::vector<unsigned char> bottomUp(row * static_cast<std::size_t>(size), 0);
    glReadPixels(0, 0, size, size, GL_RGBA, GL_UNSIGNED_BYTE, bottomUp.data());
    glCheck("Read PNG pixels");
    // OpenGL reads the bottom row first; the image is written from the top.
    std::vector<unsigned char> topDown(bottomUp.size(), 0);
    for (int i = 0; i < size; ++i) {
        const auto source = bottomUp.begin() + static_cast<std::ptrdiff_t>(row * static_cast<std::size_t>(size - 1 - i));
        std::copy(source, source + static_cast<std::ptrdiff_t>(row),
                  topDown.begin() + static_cast<std::ptrdiff_t>(row * static_cast<std::size_t>(i)));
    }
    writePNG(path, size, topDown);
}

}  // namespace mirel
