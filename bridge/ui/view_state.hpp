#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mirel/solver.hpp"

namespace mirel {

// What a controller thread has published, copied by value. The copy holds its own reference to
// the frame, so the frame (and its device slot) stays valid until every copy is gone.
struct ViewState {
    Config config;            // the current generation's, with live CFL and Reynolds-number changes
    Statistics stats;         // its reynolds is the regulated value while regulation is on
    Statistics initialStats;  // right after the last build or reset of the solver
    std::shared_ptr<Frame> frame;
    std::uint64_t generation = 0;
    bool ready = false;  // a frame of this generation has been published
    bool running = true;
    bool settled = false;  // the thread has gone idle with nothing left to do
    bool regulated = true;
    bool finished = false;  // a measured run has reached its limit
    double simtimePerSecond = 0.0;
    double turnoversPerSecond = 0.0;
    double stepsPerSecond = 0.0;  // over the last window of at least 0.25 s
    double elapsedSeconds = 0.0;  // of timed running since the last build
    double gpuSeconds = 0.0;
    std::uint32_t batches = 0;
    std::uint32_t frames = 0;
    std::int32_t batchSteps = 1;
    std::vector<double> history;  // latest energies, oldest first, at most 120
    std::string errorMessage;     // the controller thread's last failure; empty when none
};

}  // namespace mirel
