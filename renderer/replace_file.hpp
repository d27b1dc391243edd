#pragma once

#include <cstddef>
#include <filesystem>
#include <system_error>

namespace mirel {

// Writes size bytes as the whole content of the file at path: the one way both libraries write
// their result files (raw data files and PNG images). The caller words the failure, so the error
// is returned (an errno value in the generic category), empty on success.
//
// The bytes go to a new file in the same folder, which replaces the target only once it is
// complete and flushed, so a failure leaves an existing file as it was. What the user had is
// kept as a truncating open would keep it: symbolic links are followed and their destination
// replaced, the new file gets the permission bits of the old one, an existing file that cannot
// be opened for writing is refused untouched, and where the folder does not permit the writer a
// new file the existing one is written in place. A target that is no regular file (a device, a FIFO) is
// written into, opened without blocking so that a FIFO without a reader fails at once.
[[nodiscard]] std::error_code replaceFile(const std::filesystem::path& path, const void* bytes, std::size_t size);

}  // namespace mirel
