#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "mirel/export.hpp"
#include "mirel/solver.hpp"
#include "renderer/renderer.hpp"

namespace mirel {

// Everything a run needs besides the solver: configuration, display, the limits of a measured
// run, and the files read at its start and written at its end.
struct Options {
    Config config;
    Display display;
    bool stepLimited = false;
    bool paused = false;
    bool regulated = true;
    std::int32_t stepLimit = 200;
    std::int32_t batch = 8;
    bool fixedBatch = false;
    double wallSeconds = 0.0;
    std::optional<double> until;
    std::optional<double> untilTurnovers;  // in initial turnover times; wins over until
    std::filesystem::path initial;
    std::filesystem::path spectrum;
    std::filesystem::path fields;
    std::filesystem::path velocityPath;
};

// The initial vorticity file of options (4 N^2 bytes of little-endian float32), or an empty
// vector when no file is named.
QM_EXPORT std::vector<float> loadInitial(const Options& options);

// Writes the spectrum file and the fields file (with velocity) where options names them.
QM_EXPORT void writeSpectrum(Solver& solver, const Options& options);

}  // namespace mirel
