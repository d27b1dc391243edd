// GPU failures inside advance, inspect and reset: each reports the failed call and the CUDA
// error, fails the solver until a reset, and leaves no temporary memory behind.
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/faults.hpp"
#include "support/flow_fixture.hpp"
#include "support/messages.hpp"

namespace {

using test::Fault;

class NativeSolverFaults : public test::FaultTest<test::DeviceTest> {
protected:
    static constexpr int n = 16;
    mirel::Solver solver{test::flowConfig(n, 2, 1000.0, 0.01f)};

    // The operation fails with the fault's message and fails the solver; a reset recovers it.
    void expectFailure(const Fault& fault, const std::function<void()>& operation) {
        SCOPED_TRACE(test::failure(fault));
        const std::size_t allocations = emu::liveAllocations();
        test::arm(fault);
        test::expectError<std::runtime_error>(operation, test::failure(fault));
        EXPECT_EQ(emu::liveAllocations(), allocations);
        test::expectError<std::runtime_error>([&] { solver.statistics(); }, test::failedMessage);
        emu::reset();
        solver.reset({});
        EXPECT_EQ(solver.advance(2).steps, 2u);
    }
};

TEST_F(NativeSolverFaults, Advance) {
    const std::string clockCopy =
        "cudaMemcpyAsync(&hostClock,clock.ptr,sizeof(hostClock),cudaMemcpyDeviceToHost,queue.value)";
    const Fault faults[] = {
        {nullptr, 1, cudaErrorLaunchFailure, "cudaGetLastError()"},
        {"cudaLaunchKernel", 7, cudaErrorInvalidConfiguration, "cudaGetLastError()"},
        {"cudaEventRecord", 1, cudaErrorInvalidResourceHandle, "cudaEventRecord(s.events.begin,stream())"},
        {"cudaEventRecord", 2, cudaErrorInvalidResourceHandle, "cudaEventRecord(s.events.end,stream())"},
        {"cudaMemcpyAsync", 1, cudaErrorIllegalAddress, clockCopy.c_str()},
        {"cudaStreamSynchronize", 1, cudaErrorIllegalAddress, "cudaStreamSynchronize(queue.value)"},
        {"cudaEventElapsedTime", 1, cudaErrorNotReady, "cudaEventElapsedTime(&ms,s.events.begin,s.events.end)"},
    };
    for (const Fault& fault : faults) expectFailure(fault, [&] { solver.advance(3); });
    // The read-back of the second batch of 256 steps.
    expectFailure({"cudaMemcpyAsync", 2, cudaErrorIllegalAddress, clockCopy.c_str()}, [&] { solver.advance(300); });
}

TEST_F(NativeSolverFaults, Inspect) {
    const Fault faults[] = {
        {nullptr, 1, cudaErrorLaunchFailure, "cudaGetLastError()"},
        {"cudaMemcpyAsync", 1, cudaErrorIllegalAddress,
         "cudaMemcpyAsync(partials.data(),s.statPartials.ptr,sizeof(partials),cudaMemcpyDeviceToHost,stream())"},
        {"cudaMemcpyAsync", 2, cudaErrorIllegalAddress,
         "cudaMemcpyAsync(&hostClock,clock.ptr,sizeof(hostClock),cudaMemcpyDeviceToHost,queue.value)"},
    };
    for (const Fault& fault : faults) expectFailure(fault, [&] { solver.inspect(); });
}

TEST_F(NativeSolverFaults, ResetToTheStartSpectrum) {
    const Fault faults[] = {
        {"cudaMemcpyAsync", 1, cudaErrorIllegalAddress,
         "cudaMemcpyAsync(s.omega.ptr,values.data(),s.omega.bytes,cudaMemcpyHostToDevice,stream())"},
        {"cudaStreamSynchronize", 1, cudaErrorIllegalAddress, "cudaStreamSynchronize(stream())"},
        {"cudaMemcpyAsync", 2, cudaErrorIllegalAddress,
         "cudaMemcpyAsync(s.clock.ptr,&clock,sizeof(clock),cudaMemcpyHostToDevice,stream())"},
        {"cudaMemsetAsync", 1, cudaErrorIllegalAddress,
         "cudaMemsetAsync(s.correction.ptr,0,s.correction.bytes,stream())"},
        {"cudaMemsetAsync", 2, cudaErrorIllegalAddress, "cudaMemsetAsync(s.first.ptr,0,s.first.bytes,stream())"},
        {nullptr, 1, cudaErrorLaunchFailure, "cudaGetLastError()"},
    };
    for (const Fault& fault : faults) expectFailure(fault, [&] { solver.reset({}); });
}

// The supplied field passes through a temporary device buffer, released also on failure.
TEST_F(NativeSolverFaults, ResetToASuppliedField) {
    const std::vector<float> field = test::modeField(n, 1, 2, 1.0);
    solver.reset(field);  // creates the complex transform, which stays
    const Fault faults[] = {
        {"cudaMalloc", 1, cudaErrorMemoryAllocation, "cudaMalloc(&ptr,bytes)"},
        {"cudaMemcpyAsync", 1, cudaErrorIllegalAddress,
         "cudaMemcpyAsync(input.ptr,values.data(),input.bytes,cudaMemcpyHostToDevice,stream())"},
        {"cudaStreamSynchronize", 1, cudaErrorIllegalAddress, "cudaStreamSynchronize(stream())"},
    };
    for (const Fault& fault : faults) expectFailure(fault, [&] { solver.reset(field); });
}

// A run goes in batches of at most 256 steps, each between two recorded events, and ends with the
// batch that reaches the end time: the third record is the next run's first.
TEST_F(NativeSolverFaults, RunsInBatchesUntilTheEndTime) {
    const std::string third = test::failure("cudaEventRecord(s.events.begin,stream())", cudaErrorInvalidResourceHandle);
    emu::failCall("cudaEventRecord", 3, cudaErrorInvalidResourceHandle);
    const mirel::Statistics stats = solver.advance(600, 0.05);
    EXPECT_NEAR(stats.simulationTime, 0.05, 1e-15);
    EXPECT_LE(stats.steps, 6u);
    test::expectError<std::runtime_error>([&] { solver.advance(1); }, third);
    emu::reset();
    solver.reset({});
    emu::failCall("cudaEventRecord", 3, cudaErrorInvalidResourceHandle);
    test::expectError<std::runtime_error>([&] { solver.advance(300); }, third);
}

// A failed call leaves its error as the thread's last error; the reset that recovers the solver
// must not take it for a failure of its own work.
TEST_F(NativeSolverFaults, ResetAfterAFailedCallRecovers) {
    const std::vector<float> field = test::modeField(n, 1, 2, 1.0);
    emu::failCall("cudaMalloc", 1, cudaErrorMemoryAllocation);
    EXPECT_THROW(solver.reset(field), std::runtime_error);
    EXPECT_NO_THROW(solver.reset({}));
    EXPECT_EQ(solver.advance(2).steps, 2u);
}

// A constructor whose initial reset fails releases everything.
TEST_F(NativeSolverFaults, FailedInitialResetReleasesTheSolver) {
    const std::size_t allocations = emu::liveAllocations();
    const std::size_t pinned = emu::livePinnedAllocations();
    emu::failCall("cudaMemcpyAsync", 1, cudaErrorIllegalAddress);
    EXPECT_THROW(mirel::Solver(test::flowConfig(n, 0, 1000.0)), std::runtime_error);
    EXPECT_EQ(emu::liveAllocations(), allocations);
    EXPECT_EQ(emu::livePinnedAllocations(), pinned);
}

// Zero steps, or an end time already reached, launch nothing: an armed launch failure waits for
// the next step.
TEST_F(NativeSolverFaults, NothingToDoLaunchesNothing) {
    const double reached = solver.advance(4).simulationTime;
    emu::failLaunches(1);
    EXPECT_EQ(solver.advance(0).steps, 4u);
    EXPECT_EQ(solver.advance(0, 1.0).steps, 4u);
    EXPECT_EQ(solver.advance(10, reached).steps, 4u);
    EXPECT_EQ(solver.advance(10, reached / 2).steps, 4u);
    EXPECT_THROW(solver.advance(1), std::runtime_error);
}

}  // namespace
