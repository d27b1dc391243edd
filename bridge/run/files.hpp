#pragma once

#include <filesystem>
#include <vector>

namespace mirel {

// The vector's bytes as one file, created or replaced whole (replaceFile); "Cannot write export
// file." on failure, which leaves an existing file as it was.
template <typename T>
void writeFile(const std::filesystem::path& path, const std::vector<T>& values);

}  // namespace mirel
