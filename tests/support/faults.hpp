#pragma once

// CUDA failures injected through the emulator: the fault to arm, the message the product raises
// for a failed call, and a fixture that leaves no fault armed for the next test.
#include <cuda_runtime_api.h>

#include <quellmar_emulator/control.hpp>
#include <string>

namespace test {

// The call-th call of function fails with error; a null function fails the call-th kernel
// launch asynchronously instead. text is the failed call as the product's message names it.
struct Fault {
    const char* function;
    int call;
    cudaError_t error;
    const char* text;
};

inline void arm(const Fault& fault) {
    if (fault.function)
        emu::failCall(fault.function, fault.call, fault.error);
    else
        emu::failLaunches(fault.call, fault.error);
}

// What a failed CUDA call raises: the call as written, then the error's own text.
inline std::string failure(const char* call, cudaError_t error) { return std::string(call) + ": " + cudaGetErrorString(error); }

inline std::string failure(const Fault& fault) { return failure(fault.text, fault.error); }

// Fixture on top of Base for tests that arm faults: one that did not fire, or a launch failure
// still pending, would fail a call of the next test instead.
template <typename Base>
class FaultTest : public Base {
protected:
    void TearDown() override {
        emu::reset();
        Base::TearDown();
    }
};

}  // namespace test
