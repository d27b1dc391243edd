#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

#include "support/file_bytes.hpp"
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

// A path of PATH_MAX - 1 bytes, the longest the kernel takes, that ends in the short name leaf;
// its folders are made.
inline std::filesystem::path longestPath(const std::filesystem::path& folder, const std::string& leaf) {
    std::filesystem::path path = folder;
    // Bytes still to add for the folders, each name with its slash.
    std::size_t need = PATH_MAX - 1 - (leaf.size() + 1) - folder.string().size();
    while (need > 1) {
        std::size_t name = std::min<std::size_t>(need - 1, 200);
        if (need - 1 - name == 1) --name;  // a gap of one byte would fit no name
        path /= std::string(name, 'd');
        need -= name + 1;
    }
    std::filesystem::create_directories(path);
    return path / leaf;
}

inline std::filesystem::perms permissions(const std::filesystem::path& path) {
    return std::filesystem::status(path).permissions() & std::filesystem::perms::all;
}

// The reading end of a FIFO made at path, open while the object lives, so that a writer finds a
// reader there.
class FifoReader {
public:
    // Opened without blocking: a blocking open would wait for the writer.
    explicit FifoReader(const std::filesystem::path& path) {
        if (mkfifo(path.c_str(), 0666) == 0) file = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    ~FifoReader() {
        if (file >= 0) close(file);
    }
    FifoReader(const FifoReader&) = delete;
    FifoReader& operator=(const FifoReader&) = delete;

    bool open() const { return file >= 0; }

    // The bytes that arrive until count have come or no more came for seconds.
    Bytes take(std::size_t count, double seconds = 30.0) const {
        Bytes bytes;
        unsigned char buffer[65536];
        pollfd ready{file, POLLIN, 0};
        while (bytes.size() < count && poll(&ready, 1, static_cast<int>(seconds * 1000)) > 0) {
            const ssize_t n = read(file, buffer, sizeof buffer);
            if (n > 0) bytes.insert(bytes.end(), buffer, buffer + n);
            if (n == 0) break;
        }
        return bytes;
    }

private:
    int file = -1;
};

// The reading end of a new FIFO at path, open without blocking and holding one page at most, so
// that a writer of more than 4096 bytes waits for its reader; -1 when none can be made.
inline int smallFifo(const std::filesystem::path& path) {
    if (mkfifo(path.c_str(), 0666) != 0) return -1;
    const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (reader >= 0 && fcntl(reader, F_SETPIPE_SZ, 4096) < 0) {
        close(reader);
        return -1;
    }
    return reader;
}

// Reads the first count bytes that arrive at the reading end of a pipe, then closes it, so that
// the writer finds its reader gone.
inline void readAndLeave(int reader, std::size_t count) {
    std::vector<char> bytes(count);
    std::size_t got = 0;
    pollfd ready{reader, POLLIN, 0};
    while (got < count && poll(&ready, 1, 30000) > 0) {
        const ssize_t n = read(reader, bytes.data() + got, count - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    close(reader);
}

}  // namespace test
