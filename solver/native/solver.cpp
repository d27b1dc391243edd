#include <cmath>
#include <stdexcept>

#include "solver/common/viscosity.hpp"
#include "solver/native/solver_failure.hpp"
#include "solver/native/solver_state.hpp"

namespace mirel {

Solver::Solver(Config config, const std::vector<float>& initial) {
    validate(config);
    impl = std::make_unique<Impl>(config);
    reset(initial);
}

Solver::~Solver() = default;

const Config& Solver::configuration() const { return impl->config; }

CUstream_st* Solver::stream() const { return impl->queue.value; }

Statistics Solver::statistics() const {
    if (impl->failed) throw std::runtime_error(failedMessage);
    Statistics copy = impl->stats;
    copy.reynolds = impl->reynolds;
    if (impl->cnab) copy.allocatedBytes += impl->cnab->allocatedBytes();
    return copy;
}

void Solver::setReynolds(double reynolds) {
    if (!std::isfinite(reynolds) || !nativeViscosityValid(reynolds))
        throw std::invalid_argument("Re must be finite and positive.");
    if (impl->cnab) impl->cnab->setReynolds(reynolds);
    impl->reynolds = reynolds;
}

void Solver::setCFL(float cfl) {
    if (!(cfl > 0.0f) || !std::isfinite(cfl)) throw std::invalid_argument("CFL must be finite and positive.");
    if (impl->cnab) impl->cnab->setCFL(cfl);
    impl->cfl = cfl;
}

}  // namespace mirel
