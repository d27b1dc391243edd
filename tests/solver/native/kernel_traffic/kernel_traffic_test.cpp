// The model of what a time step moves against the bytes that the kernels of a step read and write,
// counted on every access of theirs.
#include <gtest/gtest.h>

#include <cstdint>

#include "mirel/solver.hpp"
#include "solver/native/step_traffic.hpp"
#include "support/solver_fixture.hpp"
#include "traffic_counter.hpp"

namespace {

using KernelTraffic = test::DeviceTest;

// The first step of a new flow, with an adaptive step and no end time: an ordinary step. 16 is the
// smallest grid; 20 pads to 30, so its rows are not a power of two.
TEST_F(KernelTraffic, StepTrafficIsWhatTheKernelsOfAStepReadAndWrite) {
    for (int n : {16, 20}) {
        for (std::uint32_t method : {mirel::imexRK3, mirel::ifHeunRK3, mirel::etdrk4}) {
            for (std::uint32_t form : {mirel::stress, mirel::advective}) {
                SCOPED_TRACE(testing::Message() << "N " << n << ", " << mirel::methods[method] << ", "
                                                << mirel::forms[form]);
                mirel::Config config;
                config.resolution = n;
                config.method = method;
                config.form = form;
                config.reynolds = 1000.0;
                mirel::Solver solver(config);
                test::TrafficCounter counter;
                solver.advance(1);
                const mirel::StepTraffic model = mirel::stepTraffic(n, method, form);
                EXPECT_EQ(counter.launches(), model.kernels);
                EXPECT_EQ(counter.bytes(), model.kernelBytes);
            }
        }
    }
}

}  // namespace
