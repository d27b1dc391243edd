// The driver loader runs once per process: a failed run is repeated by the next qm_initialize, a
// successful one never again. The stand-in driver reads QM_EMULATOR_CUINIT_ERROR at each cuInit,
// so the steps below must run in this order in one fresh process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "quellmar/quellmar.h"

namespace {

std::string initialize() {
    char* reply = qm_initialize(nullptr);
    std::string text = reply != nullptr ? reply : "(null)";
    qm_string_free(reply);
    return text;
}

TEST(DriverLoader, FailedRunsRepeatAndASuccessfulOneIsFinal) {
    setenv("QM_EMULATOR_CUINIT_ERROR", "3", 1);
    EXPECT_EQ(initialize(), "{\"error\":\"CUDA driver initialization: initialization error\"}");

    setenv("QM_EMULATOR_CUINIT_ERROR", "12345", 1);
    EXPECT_EQ(initialize(), "{\"error\":\"CUDA driver initialization: unknown failure\"}");

    unsetenv("QM_EMULATOR_CUINIT_ERROR");
    EXPECT_EQ(initialize().rfind("{\"abi_version\":1,", 0), 0u);

    setenv("QM_EMULATOR_CUINIT_ERROR", "3", 1);
    EXPECT_EQ(initialize().rfind("{\"abi_version\":1,", 0), 0u) << "the loader ran a second time";
    unsetenv("QM_EMULATOR_CUINIT_ERROR");
}

}  // namespace
