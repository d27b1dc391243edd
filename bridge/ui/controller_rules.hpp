#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "bridge/run/options.hpp"
#include "mirel/solver.hpp"

// The arithmetic of the controller thread, apart from the thread so that it can be driven with
// chosen inputs and a chosen clock. Times are seconds on the clock of nowSeconds().
namespace mirel {

// The Reynolds number that a grid of N points resolves for a start spectrum peaked at k0; the
// default Reynolds number is that of (1024, 4).
double referenceReynolds(std::int32_t resolution, std::int32_t k0);

// Drives the scaled palinstrophy ratio 10000 * palinstrophyRatio towards 20 by nudging the Reynolds number.
// Two first-order filters smooth the measurements; the error drives a clamped PD step.
struct Regulator {
    double fastFilter = 0.0;
    double slowFilter = 0.0;
    double previousError = 0.0;

    // One statistics refresh: the new Reynolds number, or none when it is to stay.
    std::optional<double> step(double palinstrophyRatio, double reynolds, double referenceRe);
};

// Batches sized to take about 8 ms of wall time.
struct BatchSizer {
    std::int32_t adaptiveBatch = 1;
    double secondsPerStep = 0.001;

    // The adaptive batch, cut so that it ends near the next frame time while frames are paced.
    std::int32_t steps(bool visible, double nextFrameTime, double now) const;
    // Learns from an advance of n steps that took elapsed seconds: at most 32 steps, at most
    // twice the last batch, and cut back after a batch longer than 16 ms.
    void measured(std::int32_t n, double elapsed);
};

// Wall seconds of timed running, accumulated over the spans between start and stop.
class RunTimer {
public:
    void start(double now);
    void stop(double now);
    double elapsed(double now) const;

private:
    bool active = false;
    double started = 0.0;
    double timed = 0.0;
};

// The limits of a measured run; all empty while none is armed.
struct RunLimits {
    std::optional<double> endTime;
    bool stepLimited = false;
    std::int32_t stepLimit = 0;
    double wallSeconds = 0.0;

    // n, cut so that a run in step-limit mode stops at its step limit.
    std::int32_t cap(std::int32_t n, std::uint64_t steps) const;
    // Whether a batch that was passed endTime and left stats, after elapsed seconds of timed
    // running, ends the run.
    bool reached(const Statistics& stats, double elapsed) const;
};

// The limits that options set for a run whose initial turnover time is given; none unless
// measuring. Turnovers win over an end time, and either wins over the step limit.
RunLimits runLimits(const Options& options, bool measuring, double initialTurnoverTime);

// Appends energy unless it repeats the last entry, keeping the latest 120.
void recordEnergy(std::vector<double>& history, double energy);

}  // namespace mirel
