#pragma once

#include <filesystem>
#include <vector>

namespace mirel {

// The vector's bytes as one file, created or replaced the way replaceFile says; "Cannot write
// export file." on failure.
template <typename T>
void writeFile(const std::filesystem::path& path, const std::vector<T>& values);

}  // namespace mirel
