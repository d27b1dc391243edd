// The OpenGL sharing calls without an OpenGL context: the test process never loads a GL library,
// so none can be current. With one, the renderer's tests drive them.
#include <cuda_gl_interop.h>

#include "emulator_test.hpp"

namespace {

using GraphicsInterop = emu::testing::EmulatorTest;

TEST_F(GraphicsInterop, WithoutAContextNothingIsShared) {
  unsigned count = 7;
  int devices[4] = {};
  EXPECT_EQ(cudaGLGetDevices(&count, devices, 4, cudaGLDeviceListAll),
            cudaErrorInvalidGraphicsContext);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidGraphicsContext);
  cudaGraphicsResource* resource = nullptr;
  EXPECT_EQ(cudaGraphicsGLRegisterBuffer(&resource, 1, cudaGraphicsRegisterFlagsWriteDiscard),
            cudaErrorInvalidGraphicsContext);
  EXPECT_EQ(resource, nullptr);
}

TEST_F(GraphicsInterop, ArgumentsAreCheckedFirst) {
  int devices[1];
  EXPECT_EQ(cudaGLGetDevices(nullptr, devices, 1, cudaGLDeviceListAll), cudaErrorInvalidValue);
  unsigned count = 0;
  EXPECT_EQ(cudaGLGetDevices(&count, devices, 1, static_cast<cudaGLDeviceList>(9)),
            cudaErrorInvalidValue);
  cudaGraphicsResource* resource = nullptr;
  EXPECT_EQ(cudaGraphicsGLRegisterBuffer(nullptr, 1, cudaGraphicsRegisterFlagsWriteDiscard),
            cudaErrorInvalidValue);
  EXPECT_EQ(cudaGraphicsGLRegisterBuffer(&resource, 1, cudaGraphicsRegisterFlagsNone),
            cudaErrorNotSupported);
}

TEST_F(GraphicsInterop, UnknownResourcesAreRejected) {
  // Never dereferenced: the handle is looked up among the live registrations first.
  auto* unknown = reinterpret_cast<cudaGraphicsResource*>(0x1000);
  void* pointer = nullptr;
  size_t size = 0;
  EXPECT_EQ(cudaGraphicsMapResources(1, &unknown, nullptr), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaGraphicsUnmapResources(1, &unknown, nullptr), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaGraphicsResourceGetMappedPointer(&pointer, &size, unknown),
            cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaGraphicsUnregisterResource(unknown), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaGraphicsMapResources(0, &unknown, nullptr), cudaErrorInvalidValue);
  EXPECT_EQ(cudaGraphicsResourceGetMappedPointer(nullptr, &size, unknown), cudaErrorInvalidValue);
}

TEST_F(GraphicsInterop, BrokenDeviceFailsFirst) {
  emu::setDeviceFailure(true);
  unsigned count = 0;
  int devices[1];
  EXPECT_EQ(cudaGLGetDevices(&count, devices, 1, cudaGLDeviceListAll), cudaErrorDevicesUnavailable);
}

}  // namespace
