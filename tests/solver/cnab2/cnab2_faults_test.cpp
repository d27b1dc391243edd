// CUDA failures inside the CNAB2 solver: each names the failed call, a failed construction
// leaves no device memory behind, and the native solver that drives it becomes failed.
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "solver/cnab2/cnab2.hpp"
#include "support/expect_error.hpp"
#include "support/faults.hpp"
#include "support/messages.hpp"
#include "support/solver_fixture.hpp"

namespace {

using mirel::legacy::Solver;

mirel::legacy::Config legacyConfig() {
    mirel::legacy::Config c;
    c.N = 16;
    c.steps = 0;
    c.update = 100;
    c.seed = 5;
    c.Re = 1000.0;
    c.K0 = 4.0;
    c.CFL = 0.5;
    c.dt = 0.0f;
    c.startSpectrum = 1;
    return c;
}

// The native solver that drives a CNAB2 solver of legacyConfig's size and seed.
mirel::Config nativeConfig() {
    mirel::Config config;
    config.resolution = 16;
    config.method = mirel::CNAB2;
    config.seed = 5;
    return config;
}

using CNAB2Faults = test::FaultTest<test::DeviceTest>;
using test::failure;

TEST_F(CNAB2Faults, FailedConstructionReleasesEverything) {
    // In order: the stream, omega, history, work, physical, partials, the velocity upload buffer;
    // the two uploads and the history clear; the downloads of the maxima and of the vorticity.
    const cudaError_t oom = cudaErrorMemoryAllocation;
    const test::Fault faults[] = {
        {"cudaStreamCreateWithFlags", 1, oom, "cudaStreamCreateWithFlags(&value,cudaStreamNonBlocking)"},
        {"cudaMalloc", 1, oom, "cudaMalloc(&data,bytes)"},
        {"cudaMalloc", 4, oom, "cudaMalloc(&data,bytes)"},
        {"cudaMalloc", 6, oom, "cudaMalloc(&data,bytes)"},
        {"cudaMemcpyAsync", 1, oom,
         "cudaMemcpyAsync(omega.data,init.omega.data(),omega.bytes,cudaMemcpyHostToDevice,stream.value)"},
        {"cudaMemsetAsync", 1, oom, "cudaMemsetAsync(history.data,0,history.bytes,stream.value)"},
        {"cudaMemcpyAsync", 2, oom,
         "cudaMemcpyAsync(initial.data,init.velocity.data(),initial.bytes,cudaMemcpyHostToDevice,stream.value)"},
        {"cudaMemcpyAsync", 3, oom,
         "cudaMemcpyAsync(values.data(),buffer.data,buffer.bytes,cudaMemcpyDeviceToHost,stream.value)"},
        {"cudaStreamSynchronize", 2, oom, "cudaStreamSynchronize(stream.value)"},
    };
    for (const test::Fault& fault : faults) {
        SCOPED_TRACE(testing::Message() << fault.function << " call " << fault.call);
        const std::size_t allocations = emu::liveAllocations();
        const std::size_t bytes = emu::liveBytes();
        test::arm(fault);
        test::expectError<std::runtime_error>([] { Solver solver(legacyConfig()); }, failure(fault));
        EXPECT_EQ(emu::liveAllocations(), allocations);
        EXPECT_EQ(emu::liveBytes(), bytes);
        emu::reset();
    }
}

TEST_F(CNAB2Faults, FailedCallsAreNamed) {
    struct Case {
        const char* name;
        std::function<void()> arm;
        std::function<void(Solver&, mirel::Complex*)> call;
        std::string message;
    };
    const cudaError_t error = cudaErrorLaunchFailure;
    const Case cases[] = {
        {"a step's launch", [&] { emu::failCall("cudaLaunchKernel", 1, error); },
         [](Solver& s, mirel::Complex*) { s.advanceSteps(1, std::nullopt); }, failure("cudaGetLastError()", error)},
        {"the closing synchronisation", [&] { emu::failCall("cudaStreamSynchronize", 1, error); },
         [](Solver& s, mirel::Complex*) { s.advanceSteps(1, std::nullopt); },
         failure("cudaStreamSynchronize(s.stream.value)", error)},
        {"the update's download", [&] { emu::failCall("cudaStreamSynchronize", 1, error); },
         [](Solver& s, mirel::Complex*) { s.advanceTo(100, std::nullopt, false, {}); },
         failure("cudaStreamSynchronize(stream.value)", error)},
        {"the copy's launch", [&] { emu::failCall("cudaLaunchKernel", 1, error); },
         [](Solver& s, mirel::Complex* d) { s.copySpectrumTo(d, 9, 1.0f); }, failure("cudaGetLastError()", error)},
        {"the copy's synchronisation", [&] { emu::failCall("cudaStreamSynchronize", 1, error); },
         [](Solver& s, mirel::Complex* d) { s.copySpectrumTo(d, 9, 1.0f); },
         failure("cudaStreamSynchronize(stream())", error)},
        {"the load's history clear", [&] { emu::failCall("cudaMemsetAsync", 1, error); },
         [](Solver& s, mirel::Complex* d) { s.loadSpectrum(d, 9, 1.0f); },
         failure("cudaMemsetAsync(s.history.data,0,s.history.bytes,stream())", error)},
        {"a read-out", [&] { emu::failCall("cudaMemcpyAsync", 1, error); },
         [](Solver& s, mirel::Complex*) { s.velocity(); },
         failure("cudaMemcpyAsync(values.data(),buffer.data,buffer.bytes,cudaMemcpyDeviceToHost,stream.value)", error)},
    };
    mirel::DeviceBuffer exchange(16 * 9 * sizeof(mirel::Complex));
    ASSERT_EQ(cudaMemset(exchange.ptr, 0, exchange.bytes), cudaSuccess);
    // The memset may still be running when it returns, and the solvers' streams do not wait for it.
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        Solver solver(legacyConfig());
        solver.advanceSteps(1, std::nullopt);
        test.arm();
        test::expectError<std::runtime_error>([&] { test.call(solver, exchange.as<mirel::Complex>()); }, test.message);
        emu::reset();
    }
}

TEST_F(CNAB2Faults, NativeSolverFailsWithTheCNAB2Solver) {
    mirel::Solver solver(nativeConfig());
    const cudaError_t error = cudaErrorLaunchFailure;
    emu::failCall("cudaEventRecord", 1, error);
    test::expectError<std::runtime_error>([&] { solver.advance(2); }, failure("cudaEventRecord(s.events.begin,s.cnab->stream())", error));
    test::expectError<std::runtime_error>([&] { solver.statistics(); }, test::failedMessage);
    solver.reset({});
    emu::failCall("cudaEventRecord", 2, error);
    test::expectError<std::runtime_error>([&] { solver.advance(2); }, failure("cudaEventRecord(s.events.end,s.cnab->stream())", error));
    solver.reset({});
    EXPECT_EQ(solver.advance(2).steps, 2u);
}

// An inspection that fails after its launch leaves work on the native stream; the new CNAB2
// solver of the reset writes the same spectrum on its own stream only after that work.
TEST_F(CNAB2Faults, ResetAfterAFailedInspectionRecovers) {
    mirel::Solver solver(nativeConfig());
    const mirel::Statistics start = solver.statistics();
    const cudaError_t error = cudaErrorLaunchFailure;
    emu::failCall("cudaMemcpyAsync", 1, error);
    test::expectError<std::runtime_error>(
        [&] { solver.inspect(); },
        failure("cudaMemcpyAsync(partials.data(),s.statPartials.ptr,sizeof(partials),cudaMemcpyDeviceToHost,stream())",
                error));
    emu::reset();
    solver.reset({});
    EXPECT_EQ(solver.statistics().energy, start.energy);
    EXPECT_EQ(solver.advance(2).steps, 2u);
}

}  // namespace
