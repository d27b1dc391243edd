// Failures of the CUDA side, injected through the emulator, and of the OpenGL side, from displays
// (Xvfb with Mesa's client library, as the emulator's tests run) that refuse it: construction that
// fails at each of these steps leaves nothing behind, a failed upload is retried by the next
// presentation, and the shared buffer is registered again exactly when the grid size changes.
#include <gtest/gtest.h>

#include <optional>
#include <quellmar_emulator/control.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "environment_variable.hpp"
#include "private_display.hpp"
#include "renderer_fixture.hpp"
#include "support/expect_error.hpp"
#include "support/faults.hpp"
#include "test_frames.hpp"

namespace {

class RendererFaults : public test::FaultTest<test::RendererTest> {
protected:
    void SetUp() override {
        test::RendererTest::SetUp();
        emu::reset();
        cudaGetLastError();
    }
};

struct ConstructionFault {
    const char* call;
    cudaError_t error;
    const char* message;
};

TEST_F(RendererFaults, FailedConstructionLeavesNothingBehind) {
    const std::string sharing = "CUDA/OpenGL sharing is unavailable on this display: ";
    const std::string wslg =
        ". WSLg sharing is not supported by the tested driver stack; headless CUDA remains available.";
    const std::string gl = sharing + "invalid OpenGL or DirectX context" + wslg;
    const ConstructionFault faults[] = {
        {"cudaSetDevice", cudaErrorDevicesUnavailable,
         "cudaSetDevice(device): CUDA-capable device(s) is/are busy or unavailable"},
        {"cudaGLGetDevices", cudaErrorInvalidGraphicsContext, gl.c_str()},
        {"cudaStreamCreateWithFlags", cudaErrorMemoryAllocation,
         "cudaStreamCreateWithFlags(&stream,cudaStreamNonBlocking): out of memory"},
    };
    const Window host = x->hostWindow(200, 100);
    const int descriptors = test::openDescriptors();
    const std::size_t allocations = emu::liveAllocations();
    for (const ConstructionFault& fault : faults) {
        SCOPED_TRACE(fault.call);
        emu::failCall(fault.call, 1, fault.error);
        test::expectError<std::runtime_error>([&] { delete qm_gl_create(host, 0); }, fault.message);
        EXPECT_TRUE(x->children(host).empty());
        EXPECT_EQ(test::openDescriptors(), descriptors);
        EXPECT_EQ(emu::liveAllocations(), allocations);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    }
}

TEST_F(RendererFaults, DisplayThatRefusesOpenGLLeavesNothingBehind) {
    const struct {
        const char* name;
        std::vector<std::string> serverOptions;
        // Set for the construction only, when not null.
        const char* variable;
        const char* message;
    } displays[] = {
        // Before the window exists: only the connection is open.
        {"server without GLX", {"-extension", "GLX"}, nullptr, "No OpenGL framebuffer configuration."},
        // With the colormap and the window made: the server refuses indirect contexts.
        {"indirect context", {}, "LIBGL_ALWAYS_INDIRECT", "Cannot create the native OpenGL context."},
    };
    for (const auto& display : displays) {
        SCOPED_TRACE(display.name);
        const test::PrivateDisplay server("320x240x24", display.serverOptions);
        const test::EnvironmentVariable name("DISPLAY", server.name.c_str());
        test::XSession own;
        const Window host = own.hostWindow(200, 100);
        const int descriptors = test::openDescriptors();
        const std::size_t allocations = emu::liveAllocations();
        {
            std::optional<test::EnvironmentVariable> variable;
            if (display.variable != nullptr) variable.emplace(display.variable, "1");
            test::expectError<std::runtime_error>([&] { delete qm_gl_create(host, 0); }, display.message);
        }
        EXPECT_TRUE(own.children(host).empty());
        EXPECT_EQ(test::openDescriptors(), descriptors);
        EXPECT_EQ(emu::liveAllocations(), allocations);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    }
}

TEST_F(RendererFaults, DeviceThatDoesNotDriveTheDisplayIsRefused) {
    // Device 1 works headless but the emulated display is driven by device 0.
    emu::setDeviceCount(2);
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    const Window host = x->hostWindow(200, 100);
    test::expectError<std::runtime_error>([&] { delete qm_gl_create(host, 1); }, "OpenGL and CUDA selected different GPUs.");
    EXPECT_TRUE(x->children(host).empty());
}

TEST_F(RendererFaults, FailedUploadIsRetriedByTheNextPresentation) {
    const struct {
        const char* call;
        const char* message;
    } faults[] = {
        {"cudaGraphicsGLRegisterBuffer",
         "cudaGraphicsGLRegisterBuffer(&interop,buffer,cudaGraphicsRegisterFlagsWriteDiscard): out of memory"},
        {"cudaGraphicsMapResources", "cudaGraphicsMapResources(1,&interop,stream): out of memory"},
        {"cudaGraphicsResourceGetMappedPointer",
         "cudaGraphicsResourceGetMappedPointer(&pointer,&available,interop): out of memory"},
        {"cudaMemcpyAsync", "cudaMemcpyAsync(pointer,f->data(),bytes,cudaMemcpyDeviceToDevice,stream): out of memory"},
        {"cudaGraphicsUnmapResources", "cudaGraphicsUnmapResources(1,&interop,stream): out of memory"},
        {"cudaStreamSynchronize", "cudaStreamSynchronize(stream): out of memory"},
    };
    const Window host = x->hostWindow(64, 64);
    auto r = hosted(host);
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.call);
        // A fresh renderer for the registration fault: its first upload registers.
        if (std::string(fault.call) == "cudaGraphicsGLRegisterBuffer") {
            r.reset();
            r = hosted(host);
        }
        const auto next = test::deviceFrame(test::uniformFrame(16, -0.5));
        emu::failCall(fault.call, 1, cudaErrorMemoryAllocation);
        test::expectError<std::runtime_error>([&] { r->present(next, mirel::Display{}, 1, 0.0, true, 1.0); }, fault.message);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
        const mirel::RenderTiming retried = r->present(next, mirel::Display{}, 1, 0.0, true, 1.0);
        EXPECT_EQ(retried.uploadCount, 1u);
        EXPECT_EQ(retried.uploadBytes, 16u * 16u * 12u);
    }
}

TEST_F(RendererFaults, SharedBufferIsRegisteredAgainOnlyForANewGridSize) {
    const Window host = x->hostWindow(64, 64);
    auto r = hosted(host);
    const auto small = test::deviceFrame(test::uniformFrame(16, 0.5));
    const auto otherSmall = test::deviceFrame(test::uniformFrame(16, -0.5));
    const auto large = test::deviceFrame(test::uniformFrame(32, 0.5));
    const std::string refused =
        "cudaGraphicsGLRegisterBuffer(&interop,buffer,cudaGraphicsRegisterFlagsWriteDiscard): out of memory";
    const auto presents = [&](const std::shared_ptr<mirel::Frame>& f) { r->present(f, mirel::Display{}, 1, 0.0, true, 1.0); };
    const auto isRefused = [&](const std::shared_ptr<mirel::Frame>& f) {
        test::expectError<std::runtime_error>([&] { presents(f); }, refused);
    };
    // The second registration from now on fails: frames of the first grid size never reach it.
    emu::failCall("cudaGraphicsGLRegisterBuffer", 2, cudaErrorMemoryAllocation);
    presents(small);
    presents(small);
    presents(otherSmall);
    isRefused(large);
    // After the failure a frame of either size registers afresh.
    emu::failCall("cudaGraphicsGLRegisterBuffer", 1, cudaErrorMemoryAllocation);
    isRefused(small);
    presents(large);
    emu::failCall("cudaGraphicsGLRegisterBuffer", 1, cudaErrorMemoryAllocation);
    isRefused(small);
    presents(small);
}

TEST_F(RendererFaults, TeardownReleasesTheRegistration) {
    const Window host = x->hostWindow(64, 64);
    const auto frame = test::deviceFrame(test::uniformFrame(16, 0.5));
    const std::size_t before = emu::liveBytes();
    auto r = hosted(host);
    r->present(frame, mirel::Display{}, 1, 0.0, true, 1.0);
    EXPECT_EQ(emu::liveBytes(), before + 16 * 16 * 12);
    r.reset();
    EXPECT_EQ(emu::liveBytes(), before);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

}  // namespace
