#include <cmath>
#include <stdexcept>

#include "mirel/solver.hpp"
#include "solver/common/viscosity.hpp"

namespace mirel {

const char* const methods[4] = {"imexRK3", "ifHeunRK3", "etdrk4", "CNAB2"};
const char* const forms[2] = {"stress", "advective"};
const char* const startSpectra[2] = {"PAO", "KM3"};

namespace {

bool finitePositive(float value) { return value > 0.0f && std::isfinite(value); }

bool powerOfTwo(std::int32_t n) { return n > 0 && (n & (n - 1)) == 0; }

bool nativeValid(const Config& c) {
    return c.resolution >= 16 && c.resolution <= 16384 && c.resolution % 2 == 0 && c.k0 >= 1 &&
           nativeViscosityValid(c.reynolds) && finitePositive(c.cfl) && c.fixedDt >= 0.0f &&
           std::isfinite(c.fixedDt) && c.method <= CNAB2 && c.form <= advective && c.startSpectrum <= 1;
}

bool cnab2Valid(const Config& c) {
    return powerOfTwo(c.resolution) && c.form == stress && c.seed - 1 <= 5009 && cnab2ViscosityValid(c.reynolds);
}

}  // namespace

void validate(const Config& config) {
    if (!nativeValid(config))
        throw std::invalid_argument(
            "Invalid resolution, Reynolds number, k0, CFL, fixed timestep, method or start spectrum.");
    if (config.method == CNAB2 && !cnab2Valid(config))
        throw std::invalid_argument(
            "CNAB2 requires a power-of-two resolution, seed 1..5010, stress form and a representable "
            "positive viscosity.");
}

}  // namespace mirel
