#pragma once

// The fault sweep: one pass of a scenario's operations is run once without faults, counting the
// emulated runtime (or driver) calls it makes; then, for every index up to that count, a fresh
// pass runs with exactly that one call failing. Each time the caller must receive the text
// documented for the failed call, no device or pinned allocation may outlive the handle, the
// handle must still answer, and a reset must bring back the state of a fault-free reset.
//
// A scenario is one row of a table: a name and a factory of a Subject, the handle under test
// with its operations. Another interface (a UI handle, say) joins the sweep as one more Subject
// and one more row. Calls are counted over every thread of the process, so a subject whose
// handle runs threads of its own keeps them from making calls while an operation is counted
// (a paused controller, say) or the walk finds an index that a second pass does not reach.
#include <gtest/gtest.h>

#include <cuda.h>
#include <dlfcn.h>
#include <stdlib.h>

#include <cmath>
#include <cstddef>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <quellmar_emulator/control.hpp>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/faults.hpp"
#include "support/messages.hpp"
#include "support/two_pi.hpp"

namespace sweep {

// One request to the handle; it throws what the caller would be told, std::exception's what().
// A teardown ignores the results of its calls.
struct Operation {
    const char* name;
    std::function<void()> run;
    bool teardown = false;
};

// The caller's message of one operation, empty when it succeeded.
inline std::string messageOf(const std::function<void()>& run) {
    try {
        run();
        return "";
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "(not a std::exception)";
    }
}

// The handle under test. Its destructor destroys the handle; a fresh Subject has none yet, and
// its first operation creates it.
class Subject {
public:
    virtual ~Subject() = default;
    // The operations of one pass, in order.
    virtual std::vector<Operation> operations() = 0;
    // A request that reads the device through the handle, when there is one; it may fail with
    // the solver's failed-state message, but it must answer.
    virtual void query() = 0;
    // Resets the handle (creates it when its creation failed) and describes the state reached:
    // a fault-free reset gives the same text.
    virtual std::string recover() = 0;
};

struct Scenario {
    const char* name;
    std::function<std::unique_ptr<Subject>()> make;
};

inline std::ostream& operator<<(std::ostream& out, const Scenario& scenario) { return out << scenario.name; }

// A smooth n x n vorticity field of a few modes, row-major, as a supplied initial field.
inline std::vector<float> suppliedField(int n) {
    std::vector<float> field(static_cast<std::size_t>(n) * n);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const double a = test::twoPi * x / n, b = test::twoPi * y / n;
            field[static_cast<std::size_t>(y) * n + x] = static_cast<float>(std::cos(a + 2 * b) + 0.5 * std::sin(3 * a));
        }
    return field;
}

// A kind of counted call and the controls that fail one of them.
struct Calls {
    const char* kind;
    unsigned long long (*count)();
    // Arms the k-th call from now (k = 0 disarms).
    std::function<void(unsigned long long)> fail;
    // The function that the armed fault failed, null when it has not fired.
    const char* (*failed)();
    // The injected error as reports quote it after the call text; empty where they quote none.
    std::string errorText;
};

constexpr cudaError_t injectedError = cudaErrorIllegalAddress;

inline Calls runtimeCalls() {
    return {"runtime", emu::callCount,
            [](unsigned long long k) {
                emu::reset();
                if (k > 0) emu::failCall(nullptr, static_cast<int>(k), injectedError);
            },
            emu::lastFailedCall, cudaGetErrorString(injectedError)};
}

// The stand-in driver's controls, reached the way the product reaches the driver: by name.
inline Calls driverCalls() {
    void* driver = dlopen("libcuda.so.1", RTLD_NOW);
    if (driver == nullptr) throw std::runtime_error("the stand-in driver is not on the library path");
    const auto symbol = [driver](const char* name) {
        void* entry = dlsym(driver, name);
        if (entry == nullptr) throw std::runtime_error(std::string("the driver has no ") + name);
        return entry;
    };
    const auto fail = reinterpret_cast<void (*)(unsigned long long, CUresult)>(symbol("qmEmulatorDriverFailCall"));
    return {"driver", reinterpret_cast<unsigned long long (*)()>(symbol("qmEmulatorDriverCallCount")),
            [fail](unsigned long long k) { fail(k, CUDA_ERROR_ILLEGAL_ADDRESS); },
            reinterpret_cast<const char* (*)()>(symbol("qmEmulatorDriverFailedCall")), ""};
}

// The documented call texts that report a failure of `function` (before ": " and the error
// text); none for a release, whose result is ignored. Every reported failure reaches the caller
// through the operation that made the call.
inline std::vector<std::string> documentedCalls(const std::string& function) {
    static const std::vector<std::pair<std::string, std::vector<std::string>>> table = {
        {"cudaSetDevice", {"cudaSetDevice(deviceId)", "cudaSetDevice(device)"}},
        {"cudaGetDevice", {"cudaGetDevice(&dev)"}},
        {"cudaGetDeviceProperties", {"cudaGetDeviceProperties(&prop, deviceId)", "cudaGetDeviceProperties(&prop,device)"}},
        {"cudaRuntimeGetVersion", {"cudaRuntimeGetVersion(&runtime)"}},
        {"cudaDriverGetVersion", {"cudaDriverGetVersion(&driver)"}},
        {"cudaMemGetInfo", {"cudaMemGetInfo(&available,&total)"}},
        {"cudaStreamCreateWithFlags", {"cudaStreamCreateWithFlags(&value,cudaStreamNonBlocking)"}},
        {"cudaEventCreate", {"cudaEventCreate(&begin)", "cudaEventCreate(&end)"}},
        {"cudaMallocHost", {"cudaMallocHost(reinterpret_cast<void**>(&data),sizeof(Data))"}},
        {"cudaMalloc", {"cudaMalloc(&ptr,bytes)", "cudaMalloc(&data,bytes)"}},
        {"cudaEventRecord",
         {"cudaEventRecord(s.events.begin,stream())", "cudaEventRecord(s.events.end,stream())",
          "cudaEventRecord(s.events.begin,s.cnab->stream())", "cudaEventRecord(s.events.end,s.cnab->stream())"}},
        {"cudaEventElapsedTime", {"cudaEventElapsedTime(&ms,s.events.begin,s.events.end)"}},
        {"cudaStreamSynchronize",
         {"cudaStreamSynchronize(stream())", "cudaStreamSynchronize(queue.value)",
          "cudaStreamSynchronize(s.stream.value)", "cudaStreamSynchronize(stream.value)"}},
        {"cudaMemcpyAsync",
         {"cudaMemcpyAsync(s.omega.ptr,values.data(),s.omega.bytes,cudaMemcpyHostToDevice,stream())",
          "cudaMemcpyAsync(input.ptr,values.data(),input.bytes,cudaMemcpyHostToDevice,stream())",
          "cudaMemcpyAsync(s.clock.ptr,&clock,sizeof(clock),cudaMemcpyHostToDevice,stream())",
          "cudaMemcpyAsync(&hostClock,clock.ptr,sizeof(hostClock),cudaMemcpyDeviceToHost,queue.value)",
          "cudaMemcpyAsync(partials.data(),s.statPartials.ptr,sizeof(partials),cudaMemcpyDeviceToHost,stream())",
          "cudaMemcpyAsync(partials.data(),s.snapshotPartials.ptr,sizeof(partials),cudaMemcpyDeviceToHost,stream())",
          "cudaMemcpyAsync(half.data(),s.omega.ptr,s.omega.bytes,cudaMemcpyDeviceToHost,stream())",
          "cudaMemcpyAsync(omega.data,init.omega.data(),omega.bytes,cudaMemcpyHostToDevice,stream.value)",
          "cudaMemcpyAsync(initial.data,init.velocity.data(),initial.bytes,cudaMemcpyHostToDevice,stream.value)",
          "cudaMemcpyAsync(values.data(),buffer.data,buffer.bytes,cudaMemcpyDeviceToHost,stream.value)"}},
        {"cudaMemsetAsync",
         {"cudaMemsetAsync(s.correction.ptr,0,s.correction.bytes,stream())",
          "cudaMemsetAsync(s.first.ptr,0,s.first.bytes,stream())",
          "cudaMemsetAsync(history.data,0,history.bytes,stream.value)",
          "cudaMemsetAsync(s.history.data,0,s.history.bytes,stream())"}},
        {"cudaMemcpy",
         {"cudaMemcpy(values.data(),f.data(),values.size()*4,cudaMemcpyDeviceToHost)",
          "cudaMemcpy(data.data(),f.data(),data.size()*sizeof(float),cudaMemcpyDeviceToHost)"}},
        // Launches, and the emulated transforms, are checked when the operation synchronises.
        {"cudaLaunchKernel", {"cudaGetLastError()"}},
        {"forward FFT", {"cudaGetLastError()"}},
        {"inverse FFT", {"cudaGetLastError()"}},
        {"cudaFree", {}},
        {"cudaFreeHost", {}},
        {"cudaEventDestroy", {}},
        {"cudaStreamDestroy", {}},
        {"cuDeviceGet", {test::noDriverDevice}},
    };
    for (const auto& [name, calls] : table)
        if (name == function) return calls;
    return {"(no documented report for " + function + ")"};
}

inline bool isRelease(const std::string& function) { return documentedCalls(function).empty(); }

// The caller's message for a failed call: the call text, then ": " and the error text when the
// caller reports one.
inline bool documented(const std::vector<std::string>& calls, const std::string& message, const std::string& errorText) {
    for (const std::string& call : calls)
        if (message == (errorText.empty() ? call : call + ": " + errorText)) return true;
    return false;
}

struct Live {
    std::size_t device = emu::liveAllocations();
    std::size_t pinned = emu::livePinnedAllocations();
};

// What one faulty pass told its caller.
struct Pass {
    std::string function;   // the failed call
    std::string operation;  // the operation that made it
    std::string report;
    bool unreported = false;  // a failure outside a teardown that nobody was told of
};

class FaultSweep : public test::FaultTest<::testing::TestWithParam<Scenario>> {
protected:
    // Kernel blocks on one thread: the grids are tiny, and CI runs many tests at once.
    static void SetUpTestSuite() {
        setenv("QM_EMULATOR_THREADS", "1", 1);
        emu::reset();
    }
    void TearDown() override {
        FaultTest::TearDown();
        cudaGetLastError();
    }

    void walk(const Calls& calls) {
        const Scenario& scenario = GetParam();
        calls.fail(0);
        unsigned long long total = 0;
        {
            const std::unique_ptr<Subject> subject = scenario.make();
            const unsigned long long start = calls.count();
            for (const Operation& operation : subject->operations())
                ASSERT_EQ(messageOf(operation.run), "") << operation.name << " fails without a fault";
            total = calls.count() - start;
            reference_ = subject->recover();
        }
        std::vector<Pass> passes;
        for (unsigned long long index = 1; index <= total; ++index) passes.push_back(faultyPass(calls, index));
        // Operations release temporaries too: a synchronisation ahead of a release is part of
        // such a teardown.
        for (std::size_t i = 0; i < passes.size(); ++i) {
            if (!passes[i].unreported) continue;
            const bool teardown = passes[i].function == "cudaStreamSynchronize" && i + 1 < passes.size() &&
                                  isRelease(passes[i + 1].function);
            EXPECT_TRUE(teardown) << calls.kind << " call " << i + 1 << " (" << passes[i].function << ", during "
                                  << passes[i].operation << ") failed and nobody was told";
        }
        std::set<std::string> sites, functions;
        for (const Pass& pass : passes) {
            sites.insert(pass.operation + ": " + pass.function + " -> " + pass.report);
            functions.insert(pass.function);
        }
        RecordProperty(std::string(calls.kind) + "_calls", std::to_string(total));
        RecordProperty(std::string(calls.kind) + "_call_sites", std::to_string(sites.size()));
        std::cout << "fault sweep " << scenario.name << ": " << total << " " << calls.kind << " calls failed one at a time, "
                  << sites.size() << " call sites (operation, failed call, report) over " << functions.size()
                  << " functions" << std::endl;
    }

private:
    // Runs one pass of the scenario with the index-th call failing and checks what follows.
    Pass faultyPass(const Calls& calls, unsigned long long index) {
        const Scenario& scenario = GetParam();
        cudaGetLastError();
        const Live before;
        std::unique_ptr<Subject> subject = scenario.make();
        const std::vector<Operation> operations = subject->operations();
        const std::size_t none = operations.size();
        std::size_t firedIn = none, reportedIn = none;
        Pass pass;
        calls.fail(index);
        // The operation that made the failed call is the last one: any harm it leaves behind
        // shows in the query and the recovery.
        for (std::size_t i = 0; i < operations.size() && firedIn == none && pass.report.empty(); ++i) {
            pass.report = messageOf(operations[i].run);
            if (calls.failed() != nullptr) firedIn = i;
            if (!pass.report.empty()) reportedIn = i;
        }
        const char* failed = calls.failed();
        calls.fail(0);
        if (failed == nullptr) {
            ADD_FAILURE() << calls.kind << " call " << index << " was never made, the pass is not deterministic; report: "
                          << pass.report;
            return pass;
        }
        pass.function = failed;
        pass.operation = operations[firedIn].name;
        SCOPED_TRACE(std::string(calls.kind) + " call " + std::to_string(index) + " (" + pass.function + ", during " +
                     pass.operation + ")");

        if (isRelease(pass.function) || operations[firedIn].teardown) {
            EXPECT_EQ(pass.report, "") << "an ignored failure reached the caller";
        } else if (pass.report.empty()) {
            pass.unreported = true;
        } else {
            EXPECT_TRUE(documented(documentedCalls(pass.function), pass.report, calls.errorText))
                << "reported: " << pass.report;
            EXPECT_EQ(reportedIn, firedIn) << "reported by " << operations[reportedIn].name;
        }
        const std::string answer = messageOf([&] { subject->query(); });
        EXPECT_TRUE(answer.empty() || answer == test::failedMessage) << "the handle answers: " << answer;
        EXPECT_EQ(subject->recover(), reference_) << "a reset recovers";
        subject.reset();

        // A release that failed keeps its allocation in the emulator: that one is allowed.
        const Live after;
        EXPECT_EQ(after.device, before.device + (pass.function == "cudaFree" ? 1 : 0)) << "device allocations left";
        EXPECT_EQ(after.pinned, before.pinned + (pass.function == "cudaFreeHost" ? 1 : 0)) << "pinned allocations left";
        return pass;
    }

    // What the recovery of the fault-free pass describes.
    std::string reference_;
};

}  // namespace sweep
