#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <system_error>

namespace mirel {

// Writes size bytes as the whole content of the file at path: the one way both libraries write
// their result files (raw data files and PNG images). The caller words the failure, so the error
// is returned (an errno value in the generic category), empty on success.
//
// The path is resolved as the kernel resolves it: one that holds a NUL, is too long or loops is
// refused with nothing changed. The bytes go to a new, unnamed file in the folder where the
// target really lives (a name no one can guess where the file system makes no unnamed files),
// which replaces the target only once it is complete and flushed, so a failure or the end of the
// process leaves an existing file as it was and no temporary behind. What the user had is kept
// as a truncating open would keep it: symbolic links are followed and their destination
// replaced, the new file gets the permission bits of the old one, an existing file that cannot
// be opened for writing is refused untouched, and where the folder does not permit the writer a
// new file the existing one is written in place. A target that is no regular file (a device, a
// FIFO) is written into, opened without blocking so that a FIFO without a reader fails at once.
// A path that names one of the process's own descriptors (/dev/stdout, /dev/fd/N,
// /proc/self/fd/N) is written through that descriptor, at its position and without truncating.
//
// A pipe whose reader has gone fails the write with EPIPE; SIGPIPE never reaches the host. While
// a reader is slow, the write waits for it; once giveUp is set, it gives up within a few
// milliseconds with ECANCELED.
[[nodiscard]] std::error_code replaceFile(const std::filesystem::path& path, const void* bytes, std::size_t size,
                                          const std::atomic<bool>* giveUp = nullptr);

}  // namespace mirel
