#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/temp_folder.hpp"

namespace test {

using Bytes = std::vector<unsigned char>;

inline Bytes readBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// IEEE-754 binary32 values in little-endian byte order, whatever the host's order.
inline Bytes littleEndian(const float* values, std::size_t count) {
    Bytes bytes;
    bytes.reserve(4 * count);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, &values[i], 4);
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<unsigned char>(bits >> shift));
    }
    return bytes;
}

inline Bytes littleEndian(const std::vector<float>& values) { return littleEndian(values.data(), values.size()); }

}  // namespace test
