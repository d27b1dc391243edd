#pragma once

// Files as the bytes in them, and the little-endian binary32 samples that the system's field and
// spectrum files hold.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

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

// The whole samples of a file of little-endian binary32 values; a shorter tail is left out.
inline std::vector<float> floatsOf(const std::filesystem::path& path) {
    const Bytes bytes = readBytes(path);
    std::vector<float> values(bytes.size() / 4);
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::uint32_t bits = 0;
        for (int k = 0; k < 4; ++k) bits |= std::uint32_t{bytes[4 * i + k]} << (8 * k);
        std::memcpy(&values[i], &bits, 4);
    }
    return values;
}

inline void writeFloats(const std::filesystem::path& path, const std::vector<float>& values) {
    writeBytes(path, littleEndian(values));
}

}  // namespace test
