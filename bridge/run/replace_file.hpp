#pragma once

#include <cstddef>
#include <filesystem>

namespace mirel {

// Writes size bytes as the whole content of the file at path, for every result file of a run.
// The bytes go to a new file in the same folder, which replaces the target only once it is
// complete and flushed, so a failure ("Cannot write export file.") leaves an existing file as it
// was. A link is followed and its destination replaced; a target that exists but is no regular
// file (a device, a pipe) is written directly, as it keeps no content to lose.
void replaceFile(const std::filesystem::path& path, const void* bytes, std::size_t size);

}  // namespace mirel
