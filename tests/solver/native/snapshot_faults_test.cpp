// Failed CUDA calls while reading the solver out: a snapshot fails the solver and drops its
// frame, while spectrum() and readFrame() report the error and leave the solver usable, without
// the failure surfacing again in the next operation.
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "solver/native/solver_failure.hpp"
#include "support/faults.hpp"
#include "support/solver_fixture.hpp"

namespace {

using mirel::Frame;
using mirel::Solver;

using SnapshotFaults = test::FaultTest<test::DeviceTest>;

enum class Operation { snapshot,
                       spectrum,
                       readFrame };

TEST_F(SnapshotFaults, FailedCallsAreReportedWithTheirCallText) {
    struct Case {
        Operation operation;
        test::Fault fault;
        bool failsSolver;
    };
    const cudaError_t error = cudaErrorLaunchFailure;
    const Case cases[] = {
        {Operation::snapshot,
         {"cudaMemcpyAsync", 1, error,
          "cudaMemcpyAsync(partials.data(),s.snapshotPartials.ptr,sizeof(partials),cudaMemcpyDeviceToHost,stream())"},
         true},
        {Operation::snapshot, {"cudaStreamSynchronize", 1, error, "cudaStreamSynchronize(stream())"}, true},
        {Operation::snapshot, {nullptr, 1, error, "cudaStreamSynchronize(stream())"}, true},
        {Operation::snapshot, {"cudaLaunchKernel", 1, error, "cudaGetLastError()"}, true},
        {Operation::spectrum,
         {"cudaMemcpyAsync", 1, error,
          "cudaMemcpyAsync(half.data(),s.omega.ptr,s.omega.bytes,cudaMemcpyDeviceToHost,stream())"},
         false},
        {Operation::spectrum, {"cudaStreamSynchronize", 1, error, "cudaStreamSynchronize(stream())"}, false},
        {Operation::readFrame,
         {"cudaMemcpy", 1, error, "cudaMemcpy(values.data(),f.data(),values.size()*4,cudaMemcpyDeviceToHost)"},
         false},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.fault.text);
        mirel::Config config;
        config.resolution = 16;
        Solver solver(config);
        const std::shared_ptr<Frame> kept = solver.snapshot(true);
        ASSERT_NE(kept, nullptr);
        test::arm(test.fault);
        try {
            switch (test.operation) {
                case Operation::snapshot: solver.snapshot(true); break;
                case Operation::spectrum: solver.spectrum(); break;
                case Operation::readFrame: solver.readFrame(*kept); break;
            }
            ADD_FAILURE() << "no failure";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), test::failure(test.fault));
        }
        emu::reset();
        if (test.failsSolver) {
            try {
                solver.statistics();
                ADD_FAILURE() << "the solver did not fail";
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), mirel::failedMessage);
            }
            solver.reset({});
        }
        EXPECT_NO_THROW(solver.advance(1));
        EXPECT_NO_THROW(solver.statistics());
        EXPECT_NO_THROW(solver.spectrum());
        // The frame of a failed snapshot was dropped: both free slots are handed out again.
        const std::shared_ptr<Frame> second = solver.snapshot(false);
        const std::shared_ptr<Frame> third = solver.snapshot(false);
        EXPECT_NE(second, nullptr);
        EXPECT_NE(third, nullptr);
    }
}

// A spectrum written with a plain cudaMemcpy may not have reached the device when the solver's
// non-blocking stream starts the snapshot, which does not wait for the legacy default stream.
// The emulator refuses the snapshot and names both operations; a device synchronisation in
// between orders them.
TEST_F(SnapshotFaults, SpectrumCopiedInWithoutOrderingRacesTheSnapshot) {
    mirel::Config config;
    config.resolution = 16;
    Solver solver(config);
    const mirel::Solver::Impl& s = mirel::SolverInternals::of(solver);
    const std::vector<mirel::Complex> half(s.omega.bytes / sizeof(mirel::Complex), mirel::Complex{0.0f, 0.0f});
    ASSERT_EQ(cudaMemcpy(s.omega.ptr, half.data(), s.omega.bytes, cudaMemcpyHostToDevice), cudaSuccess);
    try {
        solver.snapshot(false);
        ADD_FAILURE() << "no race reported";
    } catch (const std::runtime_error& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find("kernel mirel::kernels::prepareSnapshotKernel (operation "), std::string::npos) << message;
        EXPECT_NE(message.find("after cudaMemcpy host to device (operation "), std::string::npos) << message;
    }
    cudaDeviceSynchronize();
    solver.reset({});
    ASSERT_EQ(cudaMemcpy(s.omega.ptr, half.data(), s.omega.bytes, cudaMemcpyHostToDevice), cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    const std::shared_ptr<Frame> frame = solver.snapshot(false);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->max_vorticity, 0.0f);
}

}  // namespace
