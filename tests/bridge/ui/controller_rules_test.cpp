// The controller's arithmetic, driven with chosen inputs and a chosen clock.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "bridge/library/clock.hpp"
#include "bridge/ui/controller_rules.hpp"

namespace {

using mirel::BatchSizer;
using mirel::Regulator;
using mirel::RunLimits;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double defaultReynolds = 27898.36614974335;

TEST(ReferenceReynolds, FollowsThePowerLawThroughTheDefault) {
    EXPECT_NEAR(mirel::referenceReynolds(1024, 4), defaultReynolds, 1e-9);
    // Re_ref ~ N^1.06624 k0^-0.083911.
    EXPECT_NEAR(mirel::referenceReynolds(2048, 4) / defaultReynolds, std::pow(2.0, 1.06624), 1e-12);
    EXPECT_NEAR(mirel::referenceReynolds(1024, 16) / defaultReynolds, std::pow(4.0, -0.083911), 1e-12);
    EXPECT_NEAR(mirel::referenceReynolds(1, 1), std::pow(10.0, 1.286396), 1e-9);
}

TEST(Regulation, FirstMeasurementSeedsBothFilters) {
    Regulator regulator;
    regulator.step(0.003, 5000.0, defaultReynolds);
    EXPECT_DOUBLE_EQ(regulator.fastFilter, 30.0);
    EXPECT_DOUBLE_EQ(regulator.slowFilter, 30.0);
    regulator.step(0.006, 5000.0, defaultReynolds);
    EXPECT_DOUBLE_EQ(regulator.fastFilter, 35.0);
    EXPECT_DOUBLE_EQ(regulator.slowFilter, 30.0 + 5.0 / 6.0);
}

TEST(Regulation, Steps) {
    struct Case {
        const char* name;
        Regulator before;
        double ratio, reynolds, referenceRe;
        std::optional<double> result;
        double previousError;  // afterwards
    };
    const double up = std::exp(0.01), down = std::exp(-0.01);
    const Case cases[] = {
        {"on target", {}, 0.002, 5000.0, defaultReynolds, std::nullopt, 0.0},
        {"inside the dead band", {0, 0, 0.3}, 0.002001, 5000.0, defaultReynolds, std::nullopt, 0.3},
        {"far above, clamped per step", {}, 0.004, 5000.0, defaultReynolds, 5000.0 * up, 1.0},
        {"far below, clamped per step", {}, 0.001, 5000.0, defaultReynolds, 5000.0 * down, -0.5},
        // err 0.01 after err 0.0099: 25 * 0.0001 + 0.25 * 0.01 = 0.005.
        {"proportional and derivative", {20.2, 20.2, 0.0099}, 0.00202, 5000.0, defaultReynolds, 5000.0 * std::exp(0.005), 0.01},
        {"pulled up to 1000", {}, 0.004, 900.0, defaultReynolds, 1000.0, 1.0},
        {"pulled down to 1000000", {}, 0.001, 2e6, defaultReynolds, 1e6, -0.5},
        {"lower clamp Re_ref / 1000", {}, 0.001, 4000.0, 5e6, 5000.0, -0.5},
        {"upper clamp 1000 Re_ref", {}, 0.004, 400000.0, 300.0, 300000.0, 1.0},
        {"ratio zero", {}, 0.0, 5000.0, defaultReynolds, std::nullopt, 0.0},
        {"ratio NaN", {}, nan, 5000.0, defaultReynolds, std::nullopt, 0.0},
        {"ratio infinite", {}, inf, 5000.0, defaultReynolds, std::nullopt, 0.0},
        {"Reynolds number zero", {}, 0.004, 0.0, defaultReynolds, std::nullopt, 0.0},
        {"Reynolds number infinite", {}, 0.004, inf, defaultReynolds, std::nullopt, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Regulator regulator = c.before;
        const std::optional<double> result = regulator.step(c.ratio, c.reynolds, c.referenceRe);
        ASSERT_EQ(result.has_value(), c.result.has_value());
        if (result) {
            EXPECT_NEAR(*result, *c.result, 1e-9 * *c.result);
        }
        EXPECT_NEAR(regulator.previousError, c.previousError, 1e-12);
    }
}

TEST(Regulation, InvalidMeasurementsLeaveTheFiltersAlone) {
    Regulator regulator{25.0, 24.0, 0.2};
    EXPECT_FALSE(regulator.step(nan, 5000.0, defaultReynolds));
    EXPECT_FALSE(regulator.step(0.003, -1.0, defaultReynolds));
    EXPECT_EQ(regulator.fastFilter, 25.0);
    EXPECT_EQ(regulator.slowFilter, 24.0);
}

TEST(FramePacing, NextFrameTime) {
    struct Case {
        double scheduled, now, next;
    };
    const Case cases[] = {
        {0.0, 5.0, 5.0 + 1.0 / 60.0},    // none scheduled yet
        {1.0, 0.99, 1.0},                // not due yet
        {1.0, 1.0, 1.0 + 1.0 / 60.0},    // exactly due
        {1.0, 1.016, 1.0 + 1.0 / 60.0},  // within the slot
        {1.0, 1.04, 1.05},               // two missed slots skipped
        {1.0, 2.0, 1.0 + 61.0 / 60.0},   // a second late
    };
    for (const Case& c : cases) EXPECT_NEAR(mirel::nextFrameTime(c.scheduled, c.now), c.next, 1e-12) << c.scheduled << " " << c.now;
}

TEST(BatchSizing, AimsAtEightMillisecondsAndGrowsAtMostTwofold) {
    struct Case {
        const char* name;
        BatchSizer before;
        std::int32_t n;
        double elapsed;
        std::int32_t batch;
        double secondsPerStep;
    };
    const Case cases[] = {
        {"8 ms of 1 ms steps, from 1", {1, 0.001}, 1, 0.001, 2, 0.001},
        {"8 ms of 1 ms steps, from 4", {4, 0.001}, 4, 0.004, 8, 0.001},
        {"fast steps stop at 32", {32, 0.0001}, 32, 0.0032, 32, 0.0001},
        {"smoothed, 16 ms is not yet slow", {8, 0.001}, 8, 0.016, 6, 0.0012},
        // 0.8e-4 + 0.2e-3 = 2.8e-4 s a step: 28 steps, but 32 steps took 32 ms: 8.
        {"cut after a slow batch", {32, 0.0001}, 32, 0.032, 8, 0.00028},
        {"never below 1", {1, 1.0}, 1, 2.0, 1, 1.2},
        {"an empty advance counts as one step", {2, 0.001}, 0, 0.001, 4, 0.001},
        {"a floor on the measured step", {2, 0.0}, 1, 0.0, 4, 2e-7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BatchSizer sizer = c.before;
        sizer.measured(c.n, c.elapsed);
        EXPECT_EQ(sizer.adaptiveBatch, c.batch);
        EXPECT_NEAR(sizer.secondsPerStep, c.secondsPerStep, 1e-15);
    }
}

TEST(BatchSizing, BatchEndsNearTheNextFrame) {
    // Binary fractions, so that the quotient is exact: 5 steps of 2^-10 s fit.
    const BatchSizer sizer{32, 0.0009765625};
    const double now = 8.0, frame = 8.0 + 5 * 0.0009765625;
    EXPECT_EQ(sizer.steps(true, frame, now), 5);
    EXPECT_EQ(sizer.steps(false, frame, now), 32);
    EXPECT_EQ(sizer.steps(true, 0.0, now), 32);
    EXPECT_EQ(sizer.steps(true, now - 1.0, now), 1);
    EXPECT_EQ(sizer.steps(true, now + 1.0, now), 32);
}

TEST(RunTimer, AccumulatesRunningSpans) {
    mirel::RunTimer timer;
    EXPECT_EQ(timer.elapsed(10.0), 0.0);
    timer.start(1.0);
    timer.start(2.0);
    EXPECT_EQ(timer.elapsed(4.0), 3.0);
    timer.stop(4.0);
    timer.stop(9.0);
    EXPECT_EQ(timer.elapsed(20.0), 3.0);
    timer.start(30.0);
    EXPECT_EQ(timer.elapsed(29.0), 3.0) << "a clock read before the start counts nothing";
    EXPECT_EQ(timer.elapsed(31.5), 4.5);
}

TEST(MeasuredRuns, Limits) {
    struct Case {
        const char* name;
        std::optional<double> until, untilTurnovers;
        bool stepLimited;
        double wallSeconds;
        bool measuring;
        std::optional<double> endTime;
        bool stepLimitActive;
    };
    const Case cases[] = {
        {"not measuring", 3.0, std::nullopt, true, 1.0, false, std::nullopt, false},
        {"turnovers win", 3.0, 5.0, false, 0.0, true, 4.0, false},
        {"end time", 3.0, std::nullopt, false, 0.0, true, 3.0, false},
        {"step limit", std::nullopt, std::nullopt, true, 0.0, true, std::nullopt, true},
        {"step limit under an end time", 3.0, std::nullopt, true, 0.0, true, 3.0, false},
        {"step limit under turnovers", std::nullopt, 1.0, true, 0.0, true, 0.8, false},
        {"step limit under a wall time", std::nullopt, std::nullopt, true, 2.0, true, std::nullopt, false},
        {"nothing set", std::nullopt, std::nullopt, false, 0.0, true, std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mirel::Options options;
        options.until = c.until;
        options.untilTurnovers = c.untilTurnovers;
        options.stepLimited = c.stepLimited;
        options.wallSeconds = c.wallSeconds;
        const RunLimits limits = mirel::runLimits(options, c.measuring, 0.8);
        EXPECT_EQ(limits.endTime, c.endTime);
        EXPECT_EQ(limits.stepLimited, c.stepLimitActive);
        EXPECT_EQ(limits.wallSeconds, c.measuring ? c.wallSeconds : 0.0);
    }
}

TEST(MeasuredRuns, StepLimitCapsTheBatch) {
    RunLimits limits;
    limits.stepLimited = true;
    limits.stepLimit = 200;
    EXPECT_EQ(limits.cap(10, 100), 10);
    EXPECT_EQ(limits.cap(10, 195), 5);
    EXPECT_EQ(limits.cap(1, 200), 0) << "a single step at the limit becomes an empty advance";
    EXPECT_EQ(limits.cap(10, 250), 0);
    limits.stepLimited = false;
    EXPECT_EQ(limits.cap(10, 250), 10);
}

TEST(MeasuredRuns, EndTests) {
    struct Case {
        const char* name;
        RunLimits limits;
        std::uint64_t steps;
        double time, elapsed;
        bool ends;
    };
    const double eps = DBL_EPSILON;
    const Case cases[] = {
        {"end time reached", {4.0, false, 0, 0.0}, 3, 4.0, 0.0, true},
        {"passed", {4.0, false, 0, 0.0}, 3, 4.5, 0.0, true},
        {"within 32 ulps below", {4.0, false, 0, 0.0}, 3, 4.0 - 4.0 * 31 * eps, 0.0, true},
        {"just beyond the tolerance", {4.0, false, 0, 0.0}, 3, 4.0 - 4.0 * 33 * eps, 0.0, false},
        {"end time zero", {0.0, false, 0, 0.0}, 0, 0.0, 0.0, true},
        {"step limit reached", {std::nullopt, true, 200, 0.0}, 200, 1.0, 0.0, true},
        {"one step short", {std::nullopt, true, 200, 0.0}, 199, 1.0, 0.0, false},
        {"wall time reached", {std::nullopt, false, 0, 2.0}, 5, 1.0, 2.0, true},
        {"wall time not yet", {std::nullopt, false, 0, 2.0}, 5, 1.0, 1.999, false},
        {"no limits", {}, 1000000, 1e9, 1e9, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mirel::Statistics stats;
        stats.steps = c.steps;
        stats.simulationTime = c.time;
        EXPECT_EQ(c.limits.reached(stats, c.elapsed), c.ends);
    }
}

TEST(History, KeepsTheLatest120DistinctConsecutiveEnergies) {
    std::vector<double> history;
    mirel::recordEnergy(history, 1.0);
    mirel::recordEnergy(history, 1.0);
    EXPECT_EQ(history, std::vector<double>{1.0}) << "a paused simulation repeats its energy";
    mirel::recordEnergy(history, nan);
    mirel::recordEnergy(history, nan);
    EXPECT_EQ(history.size(), 3u) << "NaN never equals the last entry";
    history.clear();
    for (int i = 0; i < 121; ++i) mirel::recordEnergy(history, i);
    ASSERT_EQ(history.size(), 120u);
    EXPECT_EQ(history.front(), 1.0);
    EXPECT_EQ(history.back(), 120.0);
}

}  // namespace
