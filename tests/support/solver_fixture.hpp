#pragma once

#include <gtest/gtest.h>

#include "solver/cuda/cuda_loader.hpp"
#include "solver/native/solver_state.hpp"

namespace test {

// Solver internals build FFT plans, which reach the driver: the loader must have run.
class DeviceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { mirel::initializeCudaLoader(); }
};

}  // namespace test

namespace mirel {

struct SolverInternals {
    static Solver::Impl& of(Solver& solver) { return *solver.impl; }
};

}  // namespace mirel
