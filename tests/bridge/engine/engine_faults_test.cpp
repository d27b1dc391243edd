// Device failures reach the host as the engine's error replies, and leave the engine usable.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "quellmar/quellmar.h"
#include "support/engine_fixture.hpp"
#include "support/faults.hpp"
#include "support/messages.hpp"

namespace {

using nlohmann::json;
using test::Engine;
using test::errorOf;
using test::failedMessage;

const json small = {{"resolution", 16}, {"reynolds", 1000}};
const std::string busy = test::failure("cudaSetDevice(deviceId)", cudaErrorDevicesUnavailable);

using EngineFaults = test::FaultTest<test::EngineTest>;

TEST_F(EngineFaults, DeviceSelectionFailure) {
    Engine engine(small);
    // The device is selected before the request is read.
    for (const char* request : {"{\"op\":\"inspect\"}", "{\"op\":\"bogus\"}", "not json"}) {
        emu::failCall("cudaSetDevice", 1, cudaErrorDevicesUnavailable);
        EXPECT_EQ(test::callText(engine.get(), request), json({{"error", busy}}).dump())
            << request;
    }
    EXPECT_EQ(engine({{"op", "advance"}})["steps"], 1);

    emu::failCall("cudaSetDevice", 1, cudaErrorDevicesUnavailable);
    char* error = nullptr;
    EXPECT_EQ(qm_engine_create(small.dump().c_str(), &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(std::string(error), busy);
    qm_string_free(error);
}

TEST_F(EngineFaults, DestroyIgnoresDeviceSelection) {
    const std::size_t allocations = emu::liveAllocations();
    const std::size_t pinned = emu::livePinnedAllocations();
    void* engine = qm_engine_create(small.dump().c_str(), nullptr);
    ASSERT_NE(engine, nullptr);
    emu::failCall("cudaSetDevice", 1, cudaErrorDevicesUnavailable);
    qm_engine_destroy(engine);
    EXPECT_EQ(emu::liveAllocations(), allocations);
    EXPECT_EQ(emu::livePinnedAllocations(), pinned);
    Engine next(small);
    EXPECT_EQ(next({{"op", "advance"}})["steps"], 1) << "the ignored failure does not resurface";
}

// Destruction ignores the results of its calls, and none of them stays pending for the thread's
// next call.
TEST_F(EngineFaults, IgnoredTeardownFailuresDoNotResurface) {
    for (const char* function : {"cudaStreamSynchronize", "cudaFreeHost", "cudaFree", "cudaEventDestroy", "cudaStreamDestroy"}) {
        void* engine = qm_engine_create(small.dump().c_str(), nullptr);
        ASSERT_NE(engine, nullptr);
        emu::failCall(function, 1, cudaErrorIllegalAddress);
        qm_engine_destroy(engine);
        emu::reset();
        Engine next(small);
        EXPECT_EQ(next({{"op", "advance"}})["steps"], 1) << function;
    }
}

// The failed copy comes after the spectrum file and before the fields file; it neither marks the
// solver failed nor keeps a frame slot (there are three).
TEST_F(EngineFaults, FieldsCopyFailure) {
    Engine engine(small);
    const std::string copyFailure = test::failure(
        "cudaMemcpy(data.data(),f.data(),data.size()*sizeof(float),cudaMemcpyDeviceToHost)", cudaErrorIllegalAddress);
    for (int attempt = 0; attempt < 4; ++attempt) {
        emu::failCall("cudaMemcpy", 1, cudaErrorIllegalAddress);
        const json reply = engine({{"op", "export"}, {"spectrum", file("spectrum.bin")}, {"fields", file("fields.bin")}});
        EXPECT_EQ(reply, json({{"error", copyFailure}}));
        EXPECT_TRUE(std::filesystem::exists(file("spectrum.bin")));
        EXPECT_FALSE(std::filesystem::exists(file("fields.bin")));
        std::filesystem::remove(file("spectrum.bin"));
    }
    EXPECT_EQ(engine({{"op", "export"}, {"fields", file("fields.bin")}})["grid_size"], 16);
    EXPECT_EQ(std::filesystem::file_size(file("fields.bin")), 12u * 16 * 16);
    EXPECT_EQ(engine({{"op", "advance"}})["steps"], 1);
}

// A step that fails on the device leaves the solver refusing work until a reset.
TEST_F(EngineFaults, FailedStepNeedsAReset) {
    Engine engine(small);
    engine({{"op", "advance"}, {"steps", 2}});
    emu::failCall("cudaLaunchKernel", 1, cudaErrorLaunchOutOfResources);
    EXPECT_EQ(errorOf(engine({{"op", "advance"}})), test::failure("cudaGetLastError()", cudaErrorLaunchOutOfResources));
    for (const char* op : {"inspect", "advance"}) EXPECT_EQ(errorOf(engine({{"op", op}})), failedMessage) << op;
    EXPECT_EQ(errorOf(engine({{"op", "export"}, {"snapshot", true}})), failedMessage);
    EXPECT_EQ(engine({{"op", "set"}, {"cfl", 1.0}}), json::object()) << "set works on a failed solver";
    EXPECT_EQ(engine({{"op", "reset"}})["steps"], 0);
    EXPECT_EQ(engine({{"op", "advance"}})["steps"], 1);
}

}  // namespace
