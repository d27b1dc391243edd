#include "renderer/replace_file.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>

#include "renderer/pipe_signal.hpp"

namespace mirel {
namespace {

constexpr int kernelLinkLimit = 40;
constexpr int giveUpCheckMilliseconds = 10;

std::error_code lastError() { return {errno, std::generic_category()}; }

std::error_code errorOf(std::errc code) { return std::make_error_code(code); }

bool deniedToWriter(int error) { return error == EACCES || error == EPERM; }

// An open file descriptor, closed with its owner unless closed (and checked) before.
class Descriptor {
public:
    explicit Descriptor(int file = -1) : file(file) {}
    ~Descriptor() {
        if (file >= 0) ::close(file);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    bool open() const { return file >= 0; }
    int get() const { return file; }
    void reset(int fresh) {
        if (file >= 0) ::close(file);
        file = fresh;
    }
    int release() {
        const int kept = file;
        file = -1;
        return kept;
    }
    // Some file systems report a failed write only when the file is closed.
    std::error_code close() {
        const int closing = file;
        file = -1;
        return ::close(closing) == 0 ? std::error_code{} : lastError();
    }

private:
    int file;
};

// Writes into a regular file, which takes every byte without waiting for anyone.
std::error_code writeAll(int file, const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(file, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return lastError();
        if (written == 0) return errorOf(std::errc::io_error);
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return {};
}

// Until the file takes bytes (or reports why it never will); with giveUp, looked at every few
// milliseconds meanwhile.
std::error_code awaitRoom(int file, const std::atomic<bool>* giveUp) {
    pollfd ready{file, POLLOUT, 0};
    for (;;) {
        if (giveUp != nullptr && giveUp->load()) return errorOf(std::errc::operation_canceled);
        const int events = ::poll(&ready, 1, giveUp != nullptr ? giveUpCheckMilliseconds : -1);
        if (events > 0) return {};
        if (events < 0 && errno != EINTR) return lastError();
    }
}

// Writes into a pipe, a FIFO, a device or a descriptor of the host, none of which need take the
// bytes when they are offered. Each write waits until the target has room; a descriptor in
// blocking mode (the host's, whose mode is not ours to change) gets at most PIPE_BUF bytes at a
// time, which a pipe with room takes without blocking, so that giveUp is looked at between them.
std::error_code writeStream(int file, const char* bytes, std::size_t size, const std::atomic<bool>* giveUp) {
    const int flags = ::fcntl(file, F_GETFL);
    if (flags < 0) return lastError();
    const std::size_t most = (flags & O_NONBLOCK) != 0 ? size : PIPE_BUF;
    PipeSignalHeld held;
    while (size > 0) {
        if (const std::error_code error = awaitRoom(file, giveUp)) return error;
        const ssize_t written = ::write(file, bytes, std::min(size, most));
        if (written < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (written < 0 && errno == EPIPE) held.brokenPipe();
        if (written < 0) return lastError();
        if (written == 0) return errorOf(std::errc::io_error);
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return {};
}

// Where a path leads: a name in a folder (open, so that it is the folder the kernel found), or
// one of the process's own descriptors.
struct Target {
    Descriptor folder;
    std::string name;
    int descriptor = -1;
};

bool sameFile(int file, const char* path) {
    struct stat opened;
    struct stat named;
    return ::fstat(file, &opened) == 0 && ::stat(path, &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

// The folder in which the kernel shows the process's own descriptors as links. Their text
// ("pipe:[...]", a deleted file's name with " (deleted)") names no file to replace.
bool ownDescriptorFolder(int folder) {
    return sameFile(folder, "/proc/self/fd") || sameFile(folder, "/proc/thread-self/fd");
}

std::optional<int> descriptorNumber(const std::string& name) {
    if (name.empty() || name.size() > 9 || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::stoi(name);
}

// Resolves the path as open() would: every folder on the way is opened, so the kernel follows
// its links, and a link that the last component names is read relative to the folder that holds
// it and followed the same way, so that a link stays a link and its destination is what gets
// replaced.
std::error_code locate(const std::string& path, Target& target) {
    std::string rest = path;
    Descriptor linkFolder;  // the folder of the last link read, to which its text is relative
    for (int hop = 0; hop <= kernelLinkLimit; ++hop) {
        const std::size_t slash = rest.rfind('/');
        const std::string folderPart = slash == std::string::npos ? "." : rest.substr(0, std::max<std::size_t>(slash, 1));
        const std::string name = rest.substr(slash == std::string::npos ? 0 : slash + 1);
        const bool relative = rest.empty() || rest[0] != '/';
        const int base = relative && linkFolder.open() ? linkFolder.get() : AT_FDCWD;
        target.folder.reset(::openat(base, folderPart.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!target.folder.open()) return lastError();
        // A path that ends in a slash names a folder, as a truncating open would find.
        if (name.empty()) return errorOf(std::errc::is_a_directory);
        if (ownDescriptorFolder(target.folder.get())) {
            const std::optional<int> number = descriptorNumber(name);
            if (!number) return errorOf(std::errc::no_such_file_or_directory);
            target.descriptor = *number;
            return {};
        }
        char text[PATH_MAX];
        const ssize_t length = ::readlinkat(target.folder.get(), name.c_str(), text, sizeof text);
        if (length < 0) {
            if (errno != EINVAL && errno != ENOENT) return lastError();
            target.name = name;
            return {};
        }
        if (static_cast<std::size_t>(length) == sizeof text) return errorOf(std::errc::filename_too_long);
        rest.assign(text, static_cast<std::size_t>(length));
        linkFolder.reset(target.folder.release());
    }
    return errorOf(std::errc::too_many_symbolic_link_levels);
}

// A hidden name that no other writer, in this process or another, can guess and so take first.
std::error_code unguessableName(std::string& name) {
    unsigned char random[8];
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return lastError();
    static constexpr char digits[] = "0123456789abcdef";
    name = ".quellmar-";
    for (const unsigned char byte : random) {
        name += digits[byte >> 4];
        name += digits[byte & 15];
    }
    name += ".tmp";
    return {};
}

// Where the file system or the kernel makes no unnamed files.
bool noUnnamedFiles(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

// The new file that becomes the target: unnamed while it is written, so that a process killed
// meanwhile leaves nothing behind, or, where the file system has no unnamed files, under an
// unguessable name. name is empty while the file has none.
class Temporary {
public:
    // -1 in file, with errno, when none can be made. It is opened relative to the folder, so its
    // path is never longer than the target's, however short the target's own name.
    Temporary(int folder, mode_t mode) : folder(folder), file(::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode)) {
        if (file.open() || !noUnnamedFiles(errno)) return;
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (unguessableName(name)) return;
            file.reset(::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
            if (file.open() || errno != EEXIST) return;
        }
        name.clear();
    }
    ~Temporary() {
        if (!name.empty()) ::unlinkat(folder, name.c_str(), 0);
    }
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;

    Descriptor& descriptor() { return file; }

    // Gives a complete unnamed file its hidden name, which the rename then takes away again;
    // linked through its /proc link where linking the descriptor itself needs a privilege.
    std::error_code giveName() {
        if (!name.empty()) return {};
        const std::string link = "/proc/self/fd/" + std::to_string(file.get());
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string chosen;
            if (const std::error_code error = unguessableName(chosen)) return error;
            if (::linkat(file.get(), "", folder, chosen.c_str(), AT_EMPTY_PATH) == 0 ||
                ::linkat(AT_FDCWD, link.c_str(), folder, chosen.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                name = chosen;
                return {};
            }
            if (errno != EEXIST) return lastError();
        }
        return lastError();
    }

    // Puts the named file in place of target; it has no name of its own afterwards.
    bool renameTo(const std::string& target) {
        if (::renameat(folder, name.c_str(), folder, target.c_str()) != 0) return false;
        name.clear();
        return true;
    }

private:
    int folder;
    Descriptor file;
    std::string name;
};

// What a truncating open and a write would do to a file already open for writing.
std::error_code writeInPlace(Descriptor& file, const struct stat& status, const void* bytes, std::size_t size,
                             const std::atomic<bool>* giveUp) {
    const char* data = static_cast<const char*>(bytes);
    if (S_ISREG(status.st_mode)) {
        if (::ftruncate(file.get(), 0) != 0) return lastError();
        if (const std::error_code error = writeAll(file.get(), data, size)) return error;
    } else if (const std::error_code error = writeStream(file.get(), data, size, giveUp)) {
        return error;
    }
    return file.close();
}

// Writes the bytes as a new file in the folder that replaces name once it is complete and
// flushed. The new file gets the permission bits keep, or those the umask leaves when there is no
// file to keep them from. refused tells that the folder took no new file or did not let it
// replace the old one (a sticky folder), where a truncating open would still have written.
std::error_code writeAndRename(int folder, const std::string& name, std::optional<mode_t> keep, const void* bytes,
                               std::size_t size, bool& refused) {
    // Only its owner can read the new file until it has the old one's bits.
    Temporary temporary(folder, keep ? 0600 : 0666);
    Descriptor& file = temporary.descriptor();
    if (!file.open()) {
        // Only a folder that forbids the writer a new file leaves the old one to be written in
        // place; one that has no room left would see the old file truncated and not rewritten.
        refused = deniedToWriter(errno);
        return lastError();
    }
    if (keep && ::fchmod(file.get(), *keep) != 0) return lastError();
    if (const std::error_code error = writeAll(file.get(), static_cast<const char*>(bytes), size)) return error;
    if (::fsync(file.get()) != 0) return lastError();
    if (const std::error_code error = temporary.giveName()) {
        refused = deniedToWriter(error.value());
        return error;
    }
    if (const std::error_code error = file.close()) return error;
    if (!temporary.renameTo(name)) {
        refused = deniedToWriter(errno);
        return lastError();
    }
    return {};
}

}  // namespace

std::error_code replaceFile(const std::filesystem::path& path, const void* bytes, std::size_t size,
                            const std::atomic<bool>* giveUp) {
    // The kernel takes a path as a C string, which would end at the NUL and name another file.
    if (path.native().find('\0') != std::string::npos) return errorOf(std::errc::invalid_argument);
    // A path the kernel refuses as a whole (too long, a loop of links) is refused before anything
    // changes; one whose end is missing is made.
    if (const Descriptor whole(::open(path.c_str(), O_PATH | O_CLOEXEC)); !whole.open() && errno != ENOENT)
        return lastError();
    Target target;
    if (const std::error_code error = locate(path.native(), target)) return error;
    if (target.descriptor >= 0) return writeStream(target.descriptor, static_cast<const char*>(bytes), size, giveUp);

    const int folder = target.folder.get();
    // Opening the file for writing, without truncating it, asks the kernel whether the caller may
    // write it at all and changes nothing.
    Descriptor existing(::openat(folder, target.name.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
    if (!existing.open()) {
        if (errno != ENOENT) return lastError();
        bool refused = false;
        return writeAndRename(folder, target.name, std::nullopt, bytes, size, refused);
    }
    struct stat status;
    if (::fstat(existing.get(), &status) != 0) return lastError();
    // A device or a FIFO keeps no content to lose.
    if (!S_ISREG(status.st_mode)) return writeInPlace(existing, status, bytes, size, giveUp);
    bool refused = false;
    const std::error_code error = writeAndRename(folder, target.name, status.st_mode & 0777, bytes, size, refused);
    return refused ? writeInPlace(existing, status, bytes, size, giveUp) : error;
}

}  // namespace mirel
