// The per-mode arithmetic of the integrators: the phi functions of the exponential schemes and
// the compensated update, against extended-precision values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "solver/native/integrator_math.hpp"

namespace {

using mirel::integrator::Phi;
using mirel::integrator::phi;

struct Reference {
    long double phi1, phi2, phi3;
};

// phi_j(x) = sum over k of x^k / (k + j)!, summed far beyond float precision; the closed forms
// where they lose nothing to cancellation.
Reference reference(long double x) {
    if (std::fabs(x) > 4.0L) {
        const long double phi1 = std::expm1(x) / x;
        const long double phi2 = (phi1 - 1.0L) / x;
        return {phi1, phi2, (phi2 - 0.5L) / x};
    }
    Reference sum{0.0L, 0.0L, 0.0L};
    long double term = 1.0L;  // x^k / k!
    for (int k = 0; k < 60; ++k) {
        sum.phi1 += term / (k + 1);
        sum.phi2 += term / ((k + 1) * (k + 2));
        sum.phi3 += term / ((k + 1) * (k + 2) * (k + 3));
        term *= x / (k + 1);
    }
    return sum;
}

bool sameBits(const Phi& a, const Phi& b) { return std::memcmp(&a, &b, sizeof(Phi)) == 0; }

// The two evaluations the rule chooses between, in single precision.
Phi closedForm(float x) {
    const float phi1 = (expf(x) - 1.0f) / x;
    const float phi2 = (phi1 - 1.0f) / x;
    return {phi1, phi2, (phi2 - 0.5f) / x};
}

Phi series(float x) {
    float terms[3] = {1.0f, 0.5f, 1.0f / 6.0f};
    float sums[3] = {terms[0], terms[1], terms[2]};
    for (int k = 1; k <= 16; ++k)
        for (int j = 0; j < 3; ++j) {
            terms[j] = terms[j] * (x / float(k + 1 + j));
            sums[j] = sums[j] + terms[j];
        }
    return {sums[0], sums[1], sums[2]};
}

TEST(PhiFunctions, MatchesExtendedPrecisionValues) {
    const float xs[] = {-1e-6f, 1e-6f, -0.1f, 0.1f, -0.5f, 0.75f, -0.999f, -1.0f, 1.0f,
                        -1.0000001f, 1.0000001f, -2.45f, 3.0f, -10.0f, -100.0f, -1e4f};
    for (float x : xs) {
        SCOPED_TRACE(x);
        const Reference expected = reference(x);
        const Phi actual = phi(x);
        EXPECT_NEAR(actual.phi1, double(expected.phi1), 1e-6 * double(std::fabs(expected.phi1)));
        EXPECT_NEAR(actual.phi2, double(expected.phi2), 2e-6 * double(std::fabs(expected.phi2)));
        EXPECT_NEAR(actual.phi3, double(expected.phi3), 5e-6 * double(std::fabs(expected.phi3)));
    }
}

// Without viscosity every argument is 0: exactly the first series terms.
TEST(PhiFunctions, ZeroGivesTheLeadingTerms) {
    const Phi value = phi(0.0f);
    EXPECT_EQ(value.phi1, 1.0f);
    EXPECT_EQ(value.phi2, 0.5f);
    EXPECT_EQ(value.phi3, 1.0f / 6.0f);
    EXPECT_EQ(0.0f * value.phi1, 0.0f) << "e^0 - 1";
}

TEST(PhiFunctions, SeriesUpToMagnitudeOneClosedFormsBeyond) {
    for (float one : {1.0f, -1.0f}) {
        SCOPED_TRACE(one);
        ASSERT_FALSE(sameBits(series(one), closedForm(one))) << "the test must tell the branches apart";
        EXPECT_TRUE(sameBits(phi(one), series(one)));
        const float beyond = std::nextafter(one, 2.0f * one);
        EXPECT_TRUE(sameBits(phi(beyond), closedForm(beyond)));
        const float inside = std::nextafter(one, 0.0f);
        EXPECT_TRUE(sameBits(phi(inside), series(inside)));
    }
    const Phi undefined = phi(std::numeric_limits<float>::quiet_NaN());
    EXPECT_TRUE(std::isnan(undefined.phi1) && std::isnan(undefined.phi2) && std::isnan(undefined.phi3));
}

// A stiff mode, z << -1: e^z - 1 = z phi1(z) is -1 within a rounding, so the start value drops out.
TEST(PhiFunctions, StiffArgumentsRemoveTheStartValue) {
    for (float z : {-30.0f, -100.0f, -1e4f, -1e30f}) {
        SCOPED_TRACE(z);
        const Phi value = phi(z);
        EXPECT_NEAR(z * value.phi1, -1.0f, 1.2e-7f);
        EXPECT_NEAR(value.phi2, -(1.0 / z) * (1.0 + 1.0 / z), 1e-6 / std::fabs(z));
        EXPECT_TRUE(std::isfinite(value.phi3));
        EXPECT_GT(value.phi3, 0.0f);
    }
}

using mirel::V2;
using mirel::integrator::kahan;

// Increments below half a unit of the base vanish from a plain float sum; the compensation
// keeps them.
TEST(KahanUpdate, KeepsIncrementsBelowTheBasesPrecision) {
    V2 sum{1.0f, -3.0f};
    V2 compensation{0.0f, 0.0f};
    V2 plain = sum;
    const V2 delta{1e-8f, 2.5e-8f};
    for (int i = 0; i < 10000; ++i) {
        sum = kahan(sum, delta, compensation);
        plain = {plain.x + delta.x, plain.y + delta.y};
    }
    EXPECT_EQ(plain.x, 1.0f);
    EXPECT_EQ(plain.y, -3.0f);
    const double exactX = 1.0 + 10000.0 * double(delta.x);
    const double exactY = -3.0 + 10000.0 * double(delta.y);
    EXPECT_NEAR(sum.x, exactX, 1.2e-7);
    EXPECT_NEAR(sum.y, exactY, 2.4e-7);
    EXPECT_NEAR(double(sum.x) - double(compensation.x), exactX, 1e-11);
    EXPECT_NEAR(double(sum.y) - double(compensation.y), exactY, 1e-11);
}

// One update is error-free: the new value minus the compensation is base + (delta - old).
TEST(KahanUpdate, CompensationHoldsTheRoundingError) {
    const V2 base{1.0f, 1024.0f};
    const V2 delta{3e-8f, 1e-4f};
    V2 compensation{0.0f, 0.0f};
    const V2 sum = kahan(base, delta, compensation);
    EXPECT_EQ(double(sum.x) - double(compensation.x), double(base.x) + double(delta.x));
    EXPECT_EQ(double(sum.y) - double(compensation.y), double(base.y) + double(delta.y));
    EXPECT_NE(compensation.y, 0.0f);
}

}  // namespace
