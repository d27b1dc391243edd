#pragma once

#include <atomic>
#include <filesystem>
#include <vector>

#include "bridge/run/options.hpp"

namespace mirel {

// The vector's bytes as one file, created or replaced the way replaceFile says; "Cannot write
// export file." on failure, also where giveUp ended a write that waited for a slow reader.
template <typename T>
void writeFile(const std::filesystem::path& path, const std::vector<T>& values,
               const std::atomic<bool>* giveUp = nullptr);

// writeSpectrum, whose writes into a slow reader end once giveUp is set.
void writeSpectrum(Solver& solver, const Options& options, const std::atomic<bool>* giveUp);

}  // namespace mirel
