// Every emulated call of the solver's construction, inspection, stepping, snapshots, spectrum
// read-out and resets, failed one at a time, for each integrator.
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "mirel/solver.hpp"
#include "solver/cuda/cuda_loader.hpp"
#include "sweep/fault_sweep.hpp"

namespace {

constexpr int n = 16;

mirel::Config configuration(std::uint32_t method) {
    mirel::Config config;
    config.resolution = n;
    config.method = method;
    config.reynolds = 1000.0;
    return config;
}

std::string describe(const mirel::Statistics& s) {
    char text[320];
    std::snprintf(text, sizeof text, "steps %llu time %a energy %a enstrophy %a palinstrophy %a dt %a turnover %a",
                  static_cast<unsigned long long>(s.steps), s.simulationTime, s.energy, s.enstrophy, s.palinstrophy,
                  static_cast<double>(s.dt), s.initialTurnoverTime);
    return text;
}

class SolverSubject : public sweep::Subject {
public:
    explicit SolverSubject(const mirel::Config& config) : config(config) {}

    std::vector<sweep::Operation> operations() override {
        return {
            {"create", [this] { solver = std::make_unique<mirel::Solver>(config, std::vector<float>()); }},
            {"inspect", [this] { solver->inspect(); }},
            {"advance", [this] { solver->advance(1); }},
            {"set", [this] {
                 solver->setReynolds(config.reynolds);
                 solver->setCFL(config.cfl);
             }},
            {"snapshot", [this] {
                 const std::shared_ptr<mirel::Frame> frame = solver->snapshot(true);
                 if (!frame) throw std::runtime_error("No snapshot slot.");
                 solver->readFrame(*frame);
             }},
            {"spectrum", [this] { solver->spectrum(); }},
            {"reset to a supplied field", [this] { solver->reset(field); }},
            {"reset", [this] { solver->reset({}); }},
            {"destroy", [this] { solver.reset(); }, true},
        };
    }

    void query() override {
        if (solver) solver->inspect();
    }

    std::string recover() override {
        return sweep::messageOf([this] {
                   if (!solver) solver = std::make_unique<mirel::Solver>(config, std::vector<float>());
                   solver->reset({});
                   recovered = describe(solver->statistics());
                   recovered += " / " + describe(solver->advance(1));
               }) +
               recovered;
    }

private:
    const mirel::Config config;
    const std::vector<float> field = sweep::suppliedField(n);
    std::unique_ptr<mirel::Solver> solver;
    std::string recovered;
};

sweep::Scenario solverRow(const char* name, std::uint32_t method) {
    return {name, [config = configuration(method)] { return std::make_unique<SolverSubject>(config); }};
}

// The "advective" form makes the same calls as "stress", with other transform batches and
// buffer sizes, so the "stress" form stands for both.
const sweep::Scenario scenarios[] = {
    solverRow("imexRK3", mirel::imexRK3),
    solverRow("ifHeunRK3", mirel::ifHeunRK3),
    solverRow("etdrk4", mirel::etdrk4),
    solverRow("CNAB2", mirel::CNAB2),
};

class SolverFaultSweep : public sweep::FaultSweep {
protected:
    // The solver's transforms reach the driver, which the loader prepares.
    static void SetUpTestSuite() {
        sweep::FaultSweep::SetUpTestSuite();
        mirel::initializeCudaLoader();
    }
};

TEST_P(SolverFaultSweep, RuntimeCalls) { walk(sweep::runtimeCalls()); }
TEST_P(SolverFaultSweep, DriverCalls) { walk(sweep::driverCalls()); }

INSTANTIATE_TEST_SUITE_P(Solver, SolverFaultSweep, ::testing::ValuesIn(scenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
