#pragma once

#include <png.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace test {

struct RGBA8 {
    int r, g, b, a;
};

// A PNG file as 8-bit RGBA, rows from the top.
struct PNGImage {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> bytes;

    RGBA8 at(int x, int y) const {
        const unsigned char* p = &bytes[(static_cast<std::size_t>(y) * width + x) * 4];
        return {p[0], p[1], p[2], p[3]};
    }
};

inline PNGImage readPNG(const std::filesystem::path& path) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0)
        throw std::runtime_error("cannot read " + path.string() + ": " + image.message);
    image.format = PNG_FORMAT_RGBA;
    PNGImage result;
    result.width = static_cast<int>(image.width);
    result.height = static_cast<int>(image.height);
    result.bytes.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, result.bytes.data(), 0, nullptr) == 0)
        throw std::runtime_error("cannot decode " + path.string() + ": " + image.message);
    return result;
}

}  // namespace test
