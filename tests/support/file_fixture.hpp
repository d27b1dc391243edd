#pragma once

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "support/temp_folder.hpp"

namespace test {

// While it lives, no file of this process can grow beyond `bytes`: a write past that fails
// (EFBIG, with SIGXFSZ ignored) as it would on a full file system.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved);
        previous = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = saved;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved{};
    void (*previous)(int) = SIG_DFL;
};

// The names in a folder, sorted.
inline std::vector<std::string> entries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

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
