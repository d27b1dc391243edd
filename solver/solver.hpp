#pragma once

#include <cstdint>

#include "export.hpp"

namespace mirel {

// Names of the Config index fields, in index order.
QM_EXPORT extern const char* const methods[4];
QM_EXPORT extern const char* const forms[2];
QM_EXPORT extern const char* const startSpectra[2];

inline constexpr std::uint32_t methodCNAB2 = 3;

struct Config {
    std::int32_t resolution = 1024;
    std::int32_t k0 = 4;
    std::uint64_t seed = 2;
    double reynolds = 27898.36614974335;
    float cfl = 3.0f;
    float fixedDt = 0.0f;
    std::uint32_t method = 2;
    std::uint32_t form = 0;
    std::uint32_t startSpectrum = 0;
};

struct Statistics {
    std::uint64_t steps = 0;
    double simulationTime = 0.0;
    double energy = 0.0;
    double enstrophy = 0.0;
    double palinstrophy = 0.0;
    double palinstrophyRatio = 0.0;
    double reynolds = 0.0;
    double initialTurnoverTime = 0.0;
    double gpuMilliseconds = 0.0;
    float dt = 0.0f;
    std::uint64_t allocatedBytes = 0;
    std::uint64_t fftBytes = 0;
};

// Throws std::invalid_argument unless the solver can be built from config.
void validate(const Config& config);

}  // namespace mirel
