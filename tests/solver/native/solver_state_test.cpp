// The solver's device state: buffer sizes per integrator and form, the byte accounting, the
// FFTs it prepares, and frame slots that outlive the solver.
#include <cstdint>
#include <memory>
#include <vector>

#include "solver/cuda/layout.hpp"
#include "solver/native/solver_state.hpp"
#include "support/solver_fixture.hpp"

namespace {

using Impl = mirel::Solver::Impl;

mirel::Config config(int n, std::uint32_t method, std::uint32_t form) {
    mirel::Config c;
    c.resolution = n;
    c.method = method;
    c.form = form;
    return c;
}

class SolverState : public test::DeviceTest {};

TEST_F(SolverState, AllocatedBytesAfterConstruction) {
    struct Case {
        int n;
        std::uint32_t method;
        std::uint32_t form;
        std::uint64_t bytes;
    };
    const Case cases[] = {
        {16, 2, 0, 32808},        // etdrk4, stress
        {1024, 2, 0, 107253288},  // etdrk4, stress
        {1024, 0, 0, 82038340},   // imexRK3, stress
        {1024, 3, 0, 54562396},   // CNAB2
        {1024, 1, 1, 111615544},  // ifHeunRK3, advective
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::Message() << "N=" << test.n << " method " << test.method << " form " << test.form);
        const Impl state(config(test.n, test.method, test.form));
        EXPECT_EQ(state.stats.allocatedBytes, test.bytes);
        std::uint64_t owned = 0;
        for (const mirel::DeviceBuffer* buffer :
             {&state.omega, &state.correction, &state.padded, &state.stepStart, &state.first, &state.second,
              &state.predictor, &state.coefficients, &state.clock, &state.cflPartials, &state.statPartials,
              &state.snapshotWork, &state.snapshotPartials})
            owned += buffer->bytes;
        EXPECT_EQ(owned + 3 * 12 * std::uint64_t(test.n) * test.n, test.bytes);
    }
}

TEST_F(SolverState, BufferSizesPerIntegratorAndForm) {
    // N = 16: S = 16 * 9 = 144 modes, a spectrum is 1152 bytes; M = 24 with 16 padded columns.
    struct Case {
        const char* name;
        std::uint32_t method;
        std::uint32_t form;
        std::uint64_t correction, padded, stepStart, first, second, predictor, coefficients;
    };
    const Case cases[] = {
        {"imexRK3 stress", 0, 0, 1152, 6144, 8, 1152, 8, 8, 4},
        {"ifHeunRK3 stress", 1, 0, 1152, 6144, 1152, 1152, 8, 8, 1728},
        {"etdrk4 stress", 2, 0, 1152, 6144, 1152, 1152, 1152, 1152, 3456},
        {"etdrk4 advective", 2, 1, 1152, 12288, 1152, 1152, 1152, 1152, 3456},
        {"CNAB2", 3, 0, 8, 8, 8, 8, 8, 8, 4},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const Impl state(config(16, test.method, test.form));
        EXPECT_EQ(state.omega.bytes, 1152u);
        EXPECT_EQ(state.correction.bytes, test.correction);
        EXPECT_EQ(state.padded.bytes, test.padded);
        EXPECT_EQ(state.stepStart.bytes, test.stepStart);
        EXPECT_EQ(state.first.bytes, test.first);
        EXPECT_EQ(state.second.bytes, test.second);
        EXPECT_EQ(state.predictor.bytes, test.predictor);
        EXPECT_EQ(state.coefficients.bytes, test.coefficients);
        EXPECT_EQ(state.clock.bytes, 40u);
        EXPECT_EQ(state.cflPartials.bytes, 512u);
        EXPECT_EQ(state.statPartials.bytes, 1024u);
        EXPECT_EQ(state.snapshotWork.bytes, 3456u);
        EXPECT_EQ(state.snapshotPartials.bytes, 2048u);
        EXPECT_EQ(state.paddedFFT == nullptr, test.method == 3);
        EXPECT_NE(state.baseFFT, nullptr);
        EXPECT_EQ(state.complexFFT, nullptr);
        for (const auto& slot : state.frames) EXPECT_EQ(slot.use_count(), 1);
    }
}

TEST_F(SolverState, StartValues) {
    mirel::Config c = config(48, 0, 0);
    c.reynolds = 1234.5;
    c.cfl = 0.75f;
    const Impl state(c);
    EXPECT_EQ(state.n, 48);
    EXPECT_EQ(state.m, 72);
    EXPECT_EQ(state.columns, 25);
    EXPECT_EQ(state.paddedColumns, 40);
    EXPECT_EQ(state.reynolds, 1234.5);
    EXPECT_EQ(state.cfl, 0.75f);
    EXPECT_FALSE(state.failed);
    EXPECT_EQ(state.stats.steps, 0u);
    EXPECT_EQ(state.stats.simulationTime, 0.0);
    unsigned int flags = 0;
    ASSERT_EQ(cudaStreamGetFlags(state.queue.value, &flags), cudaSuccess);
    EXPECT_EQ(flags, static_cast<unsigned int>(cudaStreamNonBlocking));
}

TEST_F(SolverState, PaddedColumnsCoverHalfThePaddedGrid) {
    for (int n = 16; n <= 2048; n += 2) {
        const int m = 3 * n / 2;
        const int columns = mirel::layout::paddedColumns(m);
        EXPECT_EQ(columns % 8, 0) << m;
        EXPECT_GE(columns, m / 2 + 1) << m;
        EXPECT_LE(columns, m / 2 + 8) << m;
    }
}

TEST_F(SolverState, FrameSlotOutlivesTheSolver) {
    std::shared_ptr<void> slot;
    const std::vector<float> pattern = {1.5f, -2.25f, 3.0f, 4.125f};
    {
        const Impl state(config(16, 2, 0));
        slot = state.frames[1];
        EXPECT_EQ(state.frames[1].use_count(), 2);
    }
    EXPECT_EQ(slot.use_count(), 1);
    ASSERT_EQ(cudaMemcpy(slot.get(), pattern.data(), 16, cudaMemcpyHostToDevice), cudaSuccess);
    std::vector<float> back(4);
    ASSERT_EQ(cudaMemcpy(back.data(), slot.get(), 16, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(back, pattern);
}

}  // namespace
