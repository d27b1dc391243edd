#include "emulator_test.hpp"

namespace {

TEST(ErrorTexts, MatchTheRuntime) {
  struct Case {
    cudaError_t code;
    const char* name;
    const char* text;
  };
  const Case cases[] = {
      {cudaSuccess, "cudaSuccess", "no error"},
      {cudaErrorInvalidValue, "cudaErrorInvalidValue", "invalid argument"},
      {cudaErrorMemoryAllocation, "cudaErrorMemoryAllocation", "out of memory"},
      {cudaErrorInvalidConfiguration, "cudaErrorInvalidConfiguration", "invalid configuration argument"},
      {cudaErrorInvalidMemcpyDirection, "cudaErrorInvalidMemcpyDirection", "invalid copy direction for memcpy"},
      {cudaErrorDevicesUnavailable, "cudaErrorDevicesUnavailable", "CUDA-capable device(s) is/are busy or unavailable"},
      {cudaErrorNoDevice, "cudaErrorNoDevice", "no CUDA-capable device is detected"},
      {cudaErrorInvalidDevice, "cudaErrorInvalidDevice", "invalid device ordinal"},
      {cudaErrorInvalidResourceHandle, "cudaErrorInvalidResourceHandle", "invalid resource handle"},
      {cudaErrorNotReady, "cudaErrorNotReady", "device not ready"},
      {cudaErrorIllegalAddress, "cudaErrorIllegalAddress", "an illegal memory access was encountered"},
      {cudaErrorLaunchOutOfResources, "cudaErrorLaunchOutOfResources", "too many resources requested for launch"},
      {cudaErrorLaunchFailure, "cudaErrorLaunchFailure", "unspecified launch failure"},
      {cudaErrorNotSupported, "cudaErrorNotSupported", "operation not supported"},
      {cudaErrorUnknown, "cudaErrorUnknown", "unknown error"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(cudaGetErrorName(c.code), c.name);
    EXPECT_STREQ(cudaGetErrorString(c.code), c.text) << c.name;
  }
}

TEST(ErrorTexts, UnknownCodesAreUnrecognized) {
  for (const int code : {10, 47, 1000, 12345}) {
    EXPECT_STREQ(cudaGetErrorName(static_cast<cudaError_t>(code)), "unrecognized error code");
    EXPECT_STREQ(cudaGetErrorString(static_cast<cudaError_t>(code)), "unrecognized error code");
  }
}

}  // namespace
