#include "bridge/ui/controller_rules.hpp"

#include <algorithm>
#include <cmath>

#include "solver/common/end_time.hpp"

namespace mirel {
namespace {

constexpr double targetControl = 20.0;  // 10000 * palinstrophy ratio
constexpr double filterWeight = 1.0 / 6.0;
constexpr double deadBand = 0.001;
constexpr double maxAdjustment = 0.01;  // of log Re per refresh
constexpr double batchSeconds = 0.008;
constexpr double slowBatchSeconds = 0.016;
constexpr std::int32_t maxBatch = 32;
constexpr std::size_t historyLength = 120;

bool positiveFinite(double x) { return std::isfinite(x) && x > 0.0; }

// Steps as an int32, for a count that may be far above the largest one.
std::int32_t countOf(double steps) { return static_cast<std::int32_t>(std::clamp(std::trunc(steps), 0.0, 2147483647.0)); }

}  // namespace

double referenceReynolds(std::int32_t resolution, std::int32_t k0) {
    return std::pow(10.0, 1.06624 * std::log10(resolution) - 0.083911 * std::log10(k0) + 1.286396);
}

std::optional<double> Regulator::step(double palinstrophyRatio, double reynolds, double referenceRe) {
    const double x = 10000.0 * palinstrophyRatio;
    if (!positiveFinite(x) || !positiveFinite(reynolds)) return std::nullopt;
    if (slowFilter == 0.0) {
        fastFilter = x;
        slowFilter = x;
    } else {
        fastFilter += (x - fastFilter) * filterWeight;
        slowFilter += (fastFilter - slowFilter) * filterWeight;
    }
    const double error = (slowFilter - targetControl) / targetControl;
    if (std::fabs(error) < deadBand) return std::nullopt;
    const double adjustment = std::clamp(25.0 * (error - previousError) + 0.25 * error, -maxAdjustment, maxAdjustment);
    const double lo = std::max(1000.0, referenceRe / 1000.0);
    const double hi = std::min(1000000.0, 1000.0 * referenceRe);
    previousError = error;
    return std::min(hi, std::max(lo, reynolds * std::exp(adjustment)));
}

std::int32_t BatchSizer::steps(bool visible, double nextFrameTime, double now) const {
    if (!visible || nextFrameTime <= 0.0) return adaptiveBatch;
    const std::int32_t untilFrame = countOf(std::max(0.0, nextFrameTime - now) / secondsPerStep);
    return std::max(1, std::min(adaptiveBatch, untilFrame));
}

void BatchSizer::measured(std::int32_t n, double elapsed) {
    const double m = n > 0 ? n : 1;
    secondsPerStep = 0.8 * secondsPerStep + 0.2 * std::max(1e-6, elapsed / m);
    std::int32_t b = std::clamp(countOf(batchSeconds / secondsPerStep), 1, maxBatch);
    b = std::min(b, std::max(1, 2 * adaptiveBatch));
    if (elapsed > slowBatchSeconds) b = std::max(1, std::min(b, countOf(n * batchSeconds / elapsed)));
    adaptiveBatch = b;
}

void RunTimer::start(double now) {
    if (active) return;
    active = true;
    started = now;
}

void RunTimer::stop(double now) {
    if (!active) return;
    timed += std::max(0.0, now - started);
    active = false;
}

double RunTimer::elapsed(double now) const { return timed + (active ? std::max(0.0, now - started) : 0.0); }

std::int32_t RunLimits::cap(std::int32_t n, std::uint64_t steps) const {
    if (!stepLimited) return n;
    const std::int64_t left = std::int64_t{stepLimit} - static_cast<std::int32_t>(steps);
    return static_cast<std::int32_t>(std::min<std::int64_t>(n, std::max<std::int64_t>(0, left)));
}

bool RunLimits::reached(const Statistics& stats, double elapsed) const {
    if (endTime && mirel::reached(stats.simulationTime, *endTime)) return true;
    if (stepLimited && stats.steps >= static_cast<std::uint64_t>(std::max(0, stepLimit))) return true;
    return wallSeconds > 0.0 && elapsed >= wallSeconds;
}

RunLimits runLimits(const Options& options, bool measuring, double initialTurnoverTime) {
    RunLimits limits;
    if (!measuring) return limits;
    if (options.untilTurnovers)
        limits.endTime = *options.untilTurnovers * initialTurnoverTime;
    else
        limits.endTime = options.until;
    limits.stepLimited = options.stepLimited && !limits.endTime && options.wallSeconds == 0.0;
    limits.stepLimit = options.stepLimit;
    limits.wallSeconds = options.wallSeconds;
    return limits;
}

void recordEnergy(std::vector<double>& history, double energy) {
    if (!history.empty() && history.back() == energy) return;
    history.push_back(energy);
    if (history.size() > historyLength) history.erase(history.begin());
}

}  // namespace mirel
