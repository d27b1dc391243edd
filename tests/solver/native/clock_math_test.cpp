// The device clock's arithmetic: the float-pair time and the rule of the adaptive time step.
#include <gtest/gtest.h>

#include <cmath>

#include "solver/native/clock_math.hpp"

namespace {

using mirel::clock::absorb;
using mirel::clock::proposedStep;

// 1000 steps of (float)0.001: the pair keeps the exact sum of the steps, a float sum drifts.
TEST(FloatPair, SumsManyStepsAlmostExactly) {
    const float step = 0.001f;
    float hi = 0.0f, lo = 0.0f, plain = 0.0f;
    double exact = 0.0;
    for (int i = 0; i < 1000; ++i) {
        absorb(hi, lo, step);
        plain += step;
        exact += step;
    }
    const double pairError = std::fabs(double(hi) + double(lo) - exact);
    const double plainError = std::fabs(double(plain) - exact);
    EXPECT_GT(plainError, 1e-6);
    EXPECT_LT(pairError, 1e-12);
    EXPECT_LT(pairError, 1e-5 * plainError);
    EXPECT_EQ(hi, float(double(hi) + double(lo))) << "hi is the rounded time";
}

// A step far below one unit of hi is kept whole in lo.
TEST(FloatPair, KeepsStepsBelowTheUnitOfHi) {
    float hi = 1000.0f, lo = 0.0f;
    absorb(hi, lo, 1e-5f);
    EXPECT_EQ(double(hi) + double(lo), 1000.0 + double(1e-5f));
    absorb(hi, lo, 1e-5f);
    EXPECT_EQ(double(hi) + double(lo), 1000.0 + 2.0 * double(1e-5f));
    EXPECT_EQ(hi, 1000.0f);
}

TEST(TimeStepRule, FixedStepCFLStepAndGrowthLimit) {
    struct Case {
        const char* name;
        float fixedDt, cfl, maxSpeed, dtMemory;
        unsigned n;
        float expected;
    };
    const Case cases[] = {
        {"fixed step, no growth limit", 0.25f, 3.0f, 2.0f, 0.001f, 64, 0.25f},
        {"fixed step without motion", 0.125f, 3.0f, 0.0f, 0.0f, 64, 0.125f},
        {"first step: 2 CFL / (N max speed)", 0.0f, 0.5f, 2.0f, 0.0f, 16, 1.0f / 32.0f},
        {"first step, other numbers", 0.0f, 3.0f, 1.5f, 0.0f, 1024, 6.0f / 1536.0f},
        {"shrinks at once", 0.0f, 0.5f, 2.0f, 0.5f, 16, 1.0f / 32.0f},
        {"grows by a fifth of the difference", 0.0f, 0.5f, 2.0f, 1.0f / 64.0f, 16,
         0.2f * (1.0f / 32.0f) + 0.8f / 64.0f},
        {"steady speed keeps the step", 0.0f, 0.5f, 2.0f, 1.0f / 32.0f, 16, 1.0f / 32.0f},
        {"no motion: the last step", 0.0f, 0.5f, 0.0f, 0.0625f, 16, 0.0625f},
        {"no motion before the first step: 1", 0.0f, 0.5f, 0.0f, 0.0f, 16, 1.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FLOAT_EQ(proposedStep(c.fixedDt, c.cfl, c.maxSpeed, c.dtMemory, c.n), c.expected);
    }
    EXPECT_FLOAT_EQ(0.2f * (1.0f / 32.0f) + 0.8f / 64.0f, 0.01875f);
}

}  // namespace
