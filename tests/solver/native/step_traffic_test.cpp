// The traffic of one step, counted by hand for the smallest grid: N = 16, M = 24, 144 modes of
// the half spectrum, 15 x 8 = 120 padded modes outside the zero band of which 119 are kept, real
// planes of 24 x 24 floats (2304 bytes). Of the clock, selectTimeStep reads 4 floats and writes 4,
// commitStep reads 5 floats and the 8-byte count and writes 2 floats and the count, and each
// advanceStage reads 2 floats.
#include <gtest/gtest.h>

#include <cstdint>

#include "mirel/solver.hpp"
#include "solver/native/step_traffic.hpp"

namespace {

struct Case {
    std::uint32_t method;
    std::uint32_t form;
    std::uint64_t kernelBytes;
    std::uint64_t fftBytes;
    unsigned kernels;
    unsigned transforms;
};

// etdrk4, stress: products 4 stages x 4 planes x 2304 + partials 2 x 512 + clock 32 + 44 = 37964;
// advanceStage 4 x (8 + 16 x 119 + 16 x 120 + 16 x 25) = 16928 and 119 x (56 + 24 + 40 + 64) =
// 21896. Transforms: 4 stages x 4 planes x (8 x 120 + 16 x 8 x 24 + 2304).
// imexRK3, advective: products 3 x 5 x 2304 + 1024 + 76 = 35660; advanceStage
// 3 x (8 + 8 x 119 + 32 x 120 + 400) = 15600 and 119 x (40 + 48 + 48) = 16184.
const Case cases[] = {
    {mirel::etdrk4, mirel::stress, 37964 + 16928 + 21896, 101376, 10, 8},
    {mirel::imexRK3, mirel::advective, 35660 + 15600 + 16184, 3 * 5 * 6336, 8, 6},
};

TEST(StepTraffic, CountsTheBytesOfEveryKernelAndTransform) {
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << mirel::methods[c.method] << ", " << mirel::forms[c.form]);
        const mirel::StepTraffic t = mirel::stepTraffic(16, c.method, c.form);
        EXPECT_EQ(t.kernelBytes, c.kernelBytes);
        EXPECT_EQ(t.fftBytes, c.fftBytes);
        EXPECT_EQ(t.kernels, c.kernels);
        EXPECT_EQ(t.transforms, c.transforms);
    }
}

}  // namespace
