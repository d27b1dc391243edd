#pragma once

// The error texts that tests of more than one interface expect, written out here once, as a
// host meets them, and never taken from the code under test.
#include <string>

namespace test {

// A request or configuration that is not a JSON object.
inline const std::string noObject = "Expected a JSON object.";

// The configuration checks, the same for every road by which a configuration arrives.
inline const std::string invalidConfig =
    "Invalid resolution, Reynolds number, k0, CFL, fixed timestep, method or start spectrum.";
inline const std::string invalidCNAB2 =
    "CNAB2 requires a power-of-two resolution, seed 1..5010, stress form and a representable positive viscosity.";
inline const std::string badSeed = "Seed must be UInt64.";
inline const std::string wavenumberTooLarge = "Initial wavenumber is too large.";
inline const std::string fixedDtNotPositive = "Fixed timestep must be positive.";

inline const std::string invalidLimits = "Invalid benchmark limits.";

// What a failed solver answers until a reset.
inline const std::string failedMessage = "The flow became non-finite or a GPU operation failed. Reset to recover.";

}  // namespace test
