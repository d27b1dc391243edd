// A solver whose construction fails part-way reports the failed call and leaves nothing behind.
#include <stdexcept>
#include <string>

#include "solver/native/solver_state.hpp"
#include "support/faults.hpp"
#include "support/solver_fixture.hpp"

namespace {

using SolverStateFaults = test::FaultTest<test::DeviceTest>;

TEST_F(SolverStateFaults, FailedConstructionReleasesEverything) {
    const std::string outOfMemory = ": out of memory";
    const test::Fault faults[] = {
        {"cudaStreamCreateWithFlags", 1, cudaErrorMemoryAllocation, "cudaStreamCreateWithFlags(&value,cudaStreamNonBlocking)"},
        {"cudaEventCreate", 1, cudaErrorMemoryAllocation, "cudaEventCreate(&begin)"},
        {"cudaEventCreate", 2, cudaErrorMemoryAllocation, "cudaEventCreate(&end)"},
        {"cudaMallocHost", 1, cudaErrorMemoryAllocation, "cudaMallocHost(reinterpret_cast<void**>(&data),sizeof(Data))"},
        {"cudaMalloc", 1, cudaErrorMemoryAllocation, "cudaMalloc(&ptr,bytes)"},
        {"cudaMalloc", 10, cudaErrorMemoryAllocation, "cudaMalloc(&ptr,bytes)"},
        {"cudaMalloc", 13, cudaErrorMemoryAllocation, "cudaMalloc(&ptr,bytes)"},
        {"cudaMalloc", 14, cudaErrorMemoryAllocation, "cudaMalloc(&ptr,bytes)"},
        {"cudaMalloc", 16, cudaErrorMemoryAllocation, "cudaMalloc(&ptr,bytes)"},
    };
    mirel::Config config;
    config.resolution = 32;
    for (const test::Fault& fault : faults) {
        SCOPED_TRACE(testing::Message() << fault.function << " call " << fault.call);
        const std::size_t allocations = emu::liveAllocations();
        const std::size_t bytes = emu::liveBytes();
        const std::size_t pinned = emu::livePinnedAllocations();
        test::arm(fault);
        try {
            mirel::Solver::Impl state(config);
            ADD_FAILURE() << "constructed";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(error.what(), fault.text + outOfMemory);
        }
        EXPECT_EQ(emu::liveAllocations(), allocations);
        EXPECT_EQ(emu::liveBytes(), bytes);
        EXPECT_EQ(emu::livePinnedAllocations(), pinned);
        emu::reset();
    }
}

TEST_F(SolverStateFaults, TeardownFreesEverything) {
    const std::size_t allocations = emu::liveAllocations();
    const std::size_t pinned = emu::livePinnedAllocations();
    std::shared_ptr<void> held;
    {
        mirel::Config config;
        config.resolution = 32;
        mirel::Solver::Impl state(config);
        EXPECT_EQ(emu::liveAllocations(), allocations + 16);
        EXPECT_EQ(emu::livePinnedAllocations(), pinned + 1);
        held = state.frames[2];
    }
    EXPECT_EQ(emu::liveAllocations(), allocations + 1) << "only the held frame slot stays";
    EXPECT_EQ(emu::livePinnedAllocations(), pinned);
    held.reset();
    EXPECT_EQ(emu::liveAllocations(), allocations);
}

}  // namespace
