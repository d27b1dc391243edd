#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "emulator_test.hpp"

namespace {

using Devices = emu::testing::EmulatorTest;

TEST_F(Devices, PropertiesDescribeAComputeCapability90Device) {
  int count = 0;
  ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 1);
  cudaDeviceProp p;
  ASSERT_EQ(cudaGetDeviceProperties(&p, 0), cudaSuccess);
  EXPECT_STREQ(p.name, "Quellmar CPU emulator");
  EXPECT_EQ(p.major, 9);
  EXPECT_EQ(p.minor, 0);
  EXPECT_EQ(p.totalGlobalMem, std::size_t{8} << 30);
  EXPECT_EQ(p.sharedMemPerBlock, 48u * 1024);
  EXPECT_EQ(p.warpSize, 32);
  EXPECT_EQ(p.maxThreadsPerBlock, 1024);
  EXPECT_EQ(p.multiProcessorCount, 132);

  // Attributes and properties must tell the same story.
  struct Case {
    cudaDeviceAttr attribute;
    long long property;
  };
  const Case cases[] = {
      {cudaDevAttrMaxThreadsPerBlock, p.maxThreadsPerBlock},
      {cudaDevAttrMaxBlockDimX, p.maxThreadsDim[0]},
      {cudaDevAttrMaxBlockDimY, p.maxThreadsDim[1]},
      {cudaDevAttrMaxBlockDimZ, p.maxThreadsDim[2]},
      {cudaDevAttrMaxGridDimX, p.maxGridSize[0]},
      {cudaDevAttrMaxGridDimY, p.maxGridSize[1]},
      {cudaDevAttrMaxGridDimZ, p.maxGridSize[2]},
      {cudaDevAttrMaxSharedMemoryPerBlock, static_cast<long long>(p.sharedMemPerBlock)},
      {cudaDevAttrMaxSharedMemoryPerBlockOptin, static_cast<long long>(p.sharedMemPerBlockOptin)},
      {cudaDevAttrWarpSize, p.warpSize},
      {cudaDevAttrMultiProcessorCount, p.multiProcessorCount},
      {cudaDevAttrComputeCapabilityMajor, p.major},
      {cudaDevAttrComputeCapabilityMinor, p.minor},
      {cudaDevAttrL2CacheSize, p.l2CacheSize},
      {cudaDevAttrMaxRegistersPerBlock, p.regsPerBlock},
      {cudaDevAttrMaxThreadsPerMultiProcessor, p.maxThreadsPerMultiProcessor},
  };
  for (const Case& c : cases) {
    int value = -1;
    EXPECT_EQ(cudaDeviceGetAttribute(&value, c.attribute, 0), cudaSuccess) << c.attribute;
    EXPECT_EQ(value, c.property) << c.attribute;
  }
  EXPECT_EQ(p.maxThreadsDim[2], 64);
  EXPECT_EQ(p.maxGridSize[0], 2147483647);
  EXPECT_EQ(p.maxGridSize[1], 65535);
}

TEST_F(Devices, UnknownAttributesAndOrdinalsAreRejected) {
  int value = 0;
  EXPECT_EQ(cudaDeviceGetAttribute(&value, static_cast<cudaDeviceAttr>(200), 0), cudaErrorInvalidValue);
  EXPECT_EQ(cudaDeviceGetAttribute(&value, cudaDevAttrWarpSize, 1), cudaErrorInvalidDevice);
  cudaDeviceProp p;
  EXPECT_EQ(cudaGetDeviceProperties(&p, -1), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaSetDevice(1), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
}

TEST_F(Devices, VersionsAreCuda13) {
  int runtime = 0, driver = 0;
  EXPECT_EQ(cudaRuntimeGetVersion(&runtime), cudaSuccess);
  EXPECT_EQ(cudaDriverGetVersion(&driver), cudaSuccess);
  EXPECT_EQ(runtime, 13000);
  EXPECT_EQ(driver, 13000);
}

TEST_F(Devices, EachHostThreadSelectsItsOwnDeviceAndMemoryIsPerDevice) {
  emu::setDeviceCount(3);
  int count = 0;
  ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 3);
  ASSERT_EQ(cudaSetDevice(2), cudaSuccess);
  void* memory = nullptr;
  ASSERT_EQ(cudaMalloc(&memory, 4096), cudaSuccess);
  std::thread([] {
    int device = -1;
    EXPECT_EQ(cudaGetDevice(&device), cudaSuccess);
    EXPECT_EQ(device, 0);
    size_t free = 0, total = 0;
    EXPECT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_EQ(free, total);
  }).join();
  int device = -1;
  EXPECT_EQ(cudaGetDevice(&device), cudaSuccess);
  EXPECT_EQ(device, 2);
  size_t free = 0, total = 0;
  EXPECT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
  EXPECT_EQ(free, total - 4096);
  EXPECT_EQ(cudaSetDevice(3), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaFree(memory), cudaSuccess);
  EXPECT_EQ(cudaSetDevice(0), cudaSuccess);
}

// Calls that need a device, each returning what it returned.
std::vector<std::pair<const char*, std::function<cudaError_t()>>> deviceCalls() {
  static void* memory;
  static cudaStream_t stream;
  static cudaEvent_t event;
  return {
      {"cudaSetDevice", [] { return cudaSetDevice(0); }},
      {"cudaMalloc", [] { return cudaMalloc(&memory, 16); }},
      {"cudaMallocHost", [] { return cudaMallocHost(&memory, 16); }},
      {"cudaFree", [] { return cudaFree(nullptr); }},
      {"cudaMemset", [] { return cudaMemset(nullptr, 0, 0); }},
      {"cudaStreamCreate", [] { return cudaStreamCreate(&stream); }},
      {"cudaEventCreate", [] { return cudaEventCreate(&event); }},
      {"cudaDeviceSynchronize", [] { return cudaDeviceSynchronize(); }},
      {"launch", [] {
         emu::launch(1, 1, nullptr, [] {});
         return cudaPeekAtLastError();
       }},
  };
}

TEST_F(Devices, WithoutDevicesEveryDeviceCallFails) {
  emu::setDeviceCount(0);
  int count = -1;
  EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorNoDevice);
  EXPECT_EQ(count, 0);
  cudaDeviceProp p;
  EXPECT_EQ(cudaGetDeviceProperties(&p, 0), cudaErrorNoDevice);
  for (const auto& [name, call] : deviceCalls()) {
    EXPECT_EQ(call(), cudaErrorNoDevice) << name;
    EXPECT_EQ(cudaGetLastError(), cudaErrorNoDevice) << name;
  }
  EXPECT_EQ(emu::liveAllocations(), 0u);
}

TEST_F(Devices, ABrokenDeviceIsListedButUnusable) {
  emu::setDeviceFailure(true);
  int count = 0;
  EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 1);
  cudaDeviceProp p;
  EXPECT_EQ(cudaGetDeviceProperties(&p, 0), cudaSuccess);
  for (const auto& [name, call] : deviceCalls()) {
    EXPECT_EQ(call(), cudaErrorDevicesUnavailable) << name;
  }
  EXPECT_EQ(emu::liveAllocations(), 0u);
}

TEST_F(Devices, ResetRestoresTheMachineFromTheEnvironment) {
  struct Case {
    const char* devices;
    const char* failure;
    cudaError_t malloc;
  };
  for (const Case c : {Case{"0", "0", cudaErrorNoDevice}, Case{"2", "1", cudaErrorDevicesUnavailable},
                       Case{"2", "0", cudaSuccess}}) {
    setenv("QM_EMULATOR_DEVICES", c.devices, 1);
    setenv("QM_EMULATOR_DEVICE_FAILURE", c.failure, 1);
    emu::reset();
    int count = -1;
    cudaGetDeviceCount(&count);
    EXPECT_EQ(count, std::atoi(c.devices));
    void* memory = nullptr;
    EXPECT_EQ(cudaMalloc(&memory, 8), c.malloc) << c.devices << " devices, failure " << c.failure;
    cudaFree(memory);
  }
  unsetenv("QM_EMULATOR_DEVICES");
  unsetenv("QM_EMULATOR_DEVICE_FAILURE");
  emu::setDeviceCount(4);
  emu::reset();
  int count = 0;
  EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 1);
}

}  // namespace
