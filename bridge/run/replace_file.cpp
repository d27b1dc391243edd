#include "bridge/run/replace_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <system_error>

namespace mirel {
namespace {

[[noreturn]] void cannotWrite() { throw std::runtime_error("Cannot write export file."); }

bool writeAll(int file, const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(file, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// A hidden file beside the target, opened for writing, with a name no other writer in this or
// another process uses at the same time; -1 when none can be created. The name is short whatever
// the target's, so that it fits wherever the target's name does.
int createTemporary(const std::filesystem::path& target, std::filesystem::path& temporary) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = target;
        temporary.replace_filename(".quellmar-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp");
        // Created like any new file, with the permissions the umask leaves.
        const int file = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (file >= 0 || errno != EEXIST) return file;
    }
    return -1;
}

void writeInPlace(const std::filesystem::path& target, const void* bytes, std::size_t size) {
    const int file = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (file < 0) cannotWrite();
    const bool written = writeAll(file, static_cast<const char*>(bytes), size);
    if (::close(file) != 0 || !written) cannotWrite();
}

}  // namespace

void replaceFile(const std::filesystem::path& path, const void* bytes, std::size_t size) {
    std::error_code error;
    std::filesystem::path target = path;
    if (std::filesystem::is_symlink(path, error)) {
        const std::filesystem::path destination = std::filesystem::canonical(path, error);
        if (!error) target = destination;
    }
    const std::filesystem::file_status status = std::filesystem::status(target, error);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        writeInPlace(target, bytes, size);
        return;
    }

    std::filesystem::path temporary;
    const int file = createTemporary(target, temporary);
    if (file < 0) cannotWrite();
    const bool complete = writeAll(file, static_cast<const char*>(bytes), size) && ::fsync(file) == 0;
    const bool closed = ::close(file) == 0;
    if (!complete || !closed || ::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        cannotWrite();
    }
}

}  // namespace mirel
