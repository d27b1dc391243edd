#include "renderer/replace_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace mirel {
namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

bool deniedToWriter(int error) { return error == EACCES || error == EPERM; }

// An open file descriptor, closed with its owner unless closed (and checked) before.
class Descriptor {
public:
    explicit Descriptor(int file) : file(file) {}
    ~Descriptor() {
        if (file >= 0) ::close(file);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    bool open() const { return file >= 0; }
    int get() const { return file; }
    // Some file systems report a failed write only when the file is closed.
    std::error_code close() {
        const int closing = file;
        file = -1;
        return ::close(closing) == 0 ? std::error_code{} : lastError();
    }

private:
    int file;
};

std::error_code writeAll(int file, const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(file, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return lastError();
        if (written == 0) return std::make_error_code(std::errc::io_error);
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return {};
}

// Follows the symbolic links that the path's last component names, as open() would, so that a
// link stays a link and its destination is what gets replaced. Links among the folders on the
// way are the kernel's to follow.
std::error_code followLinks(std::filesystem::path& target) {
    constexpr int kernelLinkLimit = 40;
    for (int hop = 0; hop < kernelLinkLimit; ++hop) {
        struct stat status;
        if (::lstat(target.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return {};
        std::error_code error;
        const std::filesystem::path destination = std::filesystem::read_symlink(target, error);
        if (error) return error;
        target = destination.is_absolute() ? destination : target.parent_path() / destination;
    }
    return std::make_error_code(std::errc::too_many_symbolic_link_levels);
}

// A new hidden file in the folder, with a name no other writer in this or another process uses
// at the same time; -1 with errno when none can be made. It is opened relative to the folder, so
// its path is never longer than the target's, however short the target's own name.
int createTemporary(int folder, mode_t mode, std::string& name) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = ".quellmar-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
        const int file = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (file >= 0 || errno != EEXIST) return file;
    }
    return -1;
}

// What a truncating open and a write would do to a file already open for writing.
std::error_code writeInPlace(Descriptor& file, const struct stat& status, const void* bytes, std::size_t size) {
    // It was opened without blocking only so that a FIFO without a reader fails at once; a FIFO
    // that has one is written like any pipe.
    const int flags = ::fcntl(file.get(), F_GETFL);
    if (flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return lastError();
    if (S_ISREG(status.st_mode) && ::ftruncate(file.get(), 0) != 0) return lastError();
    if (const std::error_code error = writeAll(file.get(), static_cast<const char*>(bytes), size)) return error;
    return file.close();
}

// Writes the bytes as a new file in the folder and renames it to name once it is complete and
// flushed. The new file gets the permission bits keep, or those the umask leaves when there is no
// file to keep them from. refused tells that the folder took no new file or did not let it
// replace the old one (a sticky folder), where a truncating open would still have written.
std::error_code writeAndRename(int folder, const std::string& name, std::optional<mode_t> keep, const void* bytes,
                               std::size_t size, bool& refused) {
    std::string temporaryName;
    // Only its owner can read the new file until it has the old one's bits.
    Descriptor temporary(createTemporary(folder, keep ? 0600 : 0666, temporaryName));
    if (!temporary.open()) {
        // Only a folder that forbids the writer a new file leaves the old one to be written in
        // place; one that has no room left would see the old file truncated and not rewritten.
        refused = deniedToWriter(errno);
        return lastError();
    }
    std::error_code error;
    if (keep && ::fchmod(temporary.get(), *keep) != 0) error = lastError();
    if (!error) error = writeAll(temporary.get(), static_cast<const char*>(bytes), size);
    if (!error && ::fsync(temporary.get()) != 0) error = lastError();
    const std::error_code closed = temporary.close();
    if (!error) error = closed;
    if (!error && ::renameat(folder, temporaryName.c_str(), folder, name.c_str()) != 0) {
        error = lastError();
        refused = deniedToWriter(errno);
    }
    if (error) ::unlinkat(folder, temporaryName.c_str(), 0);
    return error;
}

}  // namespace

std::error_code replaceFile(const std::filesystem::path& path, const void* bytes, std::size_t size) {
    std::filesystem::path target = path;
    if (const std::error_code error = followLinks(target)) return error;
    const std::filesystem::path parent = target.parent_path();
    const Descriptor folder(::open(parent.empty() ? "." : parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.open()) return lastError();
    const std::string name = target.filename();
    // A path that ends in a slash names a folder, as a truncating open would find.
    if (name.empty()) return std::make_error_code(std::errc::is_a_directory);

    // Opening the file for writing, without truncating it, asks the kernel whether the caller may
    // write it at all and changes nothing.
    Descriptor existing(::openat(folder.get(), name.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!existing.open()) {
        if (errno != ENOENT) return lastError();
        bool refused = false;
        return writeAndRename(folder.get(), name, std::nullopt, bytes, size, refused);
    }
    struct stat status;
    if (::fstat(existing.get(), &status) != 0) return lastError();
    // A device or a FIFO keeps no content to lose.
    if (!S_ISREG(status.st_mode)) return writeInPlace(existing, status, bytes, size);
    bool refused = false;
    const std::error_code error = writeAndRename(folder.get(), name, status.st_mode & 0777, bytes, size, refused);
    return refused ? writeInPlace(existing, status, bytes, size) : error;
}

}  // namespace mirel
