#pragma once

#include <filesystem>
#include <istream>
#include <optional>

namespace mirel {

// Prepares the process for run-time compilation and driver use: loads the NVRTC builtins that
// match the loaded NVRTC, initialises the NVIDIA driver and, under WSL, loads its companion
// libraries. Runs once per process; a failed run is repeated by the next call.
void initializeCudaLoader();

// The folder of the WSL driver named by the first maps line that maps a libcuda.so from
// /usr/lib/wsl/drivers/, if any.
std::optional<std::filesystem::path> wslDriverFolder(std::istream& maps);

// Opens the driver's companion libraries that exist in folder; absent ones are skipped.
void loadWslCompanions(const std::filesystem::path& folder);

}  // namespace mirel
