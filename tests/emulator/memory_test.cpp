// Device memory is ordinary host memory underneath, so the emulator checks every copy and
// memset against the live allocations: a product bug that would touch memory out of bounds
// on the device becomes an error here.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>

#include "emulator_test.hpp"

namespace {

using Memory = emu::testing::EmulatorTest;

std::vector<unsigned char> pattern(std::size_t size, unsigned char seed) {
  std::vector<unsigned char> bytes(size);
  std::iota(bytes.begin(), bytes.end(), seed);
  return bytes;
}

TEST_F(Memory, CopiesMoveDataInEveryDirection) {
  const std::size_t size = 1000;
  const auto source = pattern(size, 7);
  void* a = nullptr;
  void* b = nullptr;
  void* pinned = nullptr;
  ASSERT_EQ(cudaMalloc(&a, size), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&b, size), cudaSuccess);
  ASSERT_EQ(cudaMallocHost(&pinned, size), cudaSuccess);
  std::vector<unsigned char> host(size), back(size);

  EXPECT_EQ(cudaMemcpy(a, source.data(), size, cudaMemcpyHostToDevice), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(b, a, size, cudaMemcpyDeviceToDevice), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(pinned, b, size, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(host.data(), pinned, size, cudaMemcpyHostToHost), cudaSuccess);
  EXPECT_EQ(host, source);

  cudaStream_t stream;
  ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
  const auto second = pattern(size, 99);
  EXPECT_EQ(cudaMemcpyAsync(b, second.data(), size, cudaMemcpyDefault, stream), cudaSuccess);
  EXPECT_EQ(cudaMemcpyAsync(a, b, size, cudaMemcpyDefault, stream), cudaSuccess);
  EXPECT_EQ(cudaMemcpyAsync(back.data(), a, size, cudaMemcpyDefault, stream), cudaSuccess);
  EXPECT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
  EXPECT_EQ(back, second);

  EXPECT_EQ(cudaStreamDestroy(stream), cudaSuccess);
  EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);
  EXPECT_EQ(cudaFree(a), cudaSuccess);
  EXPECT_EQ(cudaFree(b), cudaSuccess);
}

TEST_F(Memory, MemsetFillsExactlyTheRange) {
  const std::size_t size = 64;
  unsigned char* device = nullptr;
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&device), size), cudaSuccess);
  ASSERT_EQ(cudaMemset(device, 0, size), cudaSuccess);
  ASSERT_EQ(cudaMemset(device + 8, 0x1ab, 16), cudaSuccess);
  ASSERT_EQ(cudaMemsetAsync(device + 40, 3, 4, nullptr), cudaSuccess);
  // Three rows of two bytes, five bytes apart, up to the last byte.
  ASSERT_EQ(cudaMemset2DAsync(device + 52, 5, 9, 2, 3, nullptr), cudaSuccess);
  std::vector<unsigned char> expected(size, 0);
  std::fill_n(expected.begin() + 8, 16, 0xab);
  std::fill_n(expected.begin() + 40, 4, 3);
  for (const int row : {52, 57, 62}) std::fill_n(expected.begin() + row, 2, 9);
  std::vector<unsigned char> host(size);
  ASSERT_EQ(cudaMemcpy(host.data(), device, size, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(host, expected);
  cudaFree(device);
}

TEST_F(Memory, OutOfBoundsAndMisdirectedAccessesFailWithoutEffect) {
  const std::size_t size = 1024;
  unsigned char* device = nullptr;
  unsigned char* freed = nullptr;
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&device), size), cudaSuccess);
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&freed), size), cudaSuccess);
  ASSERT_EQ(cudaFree(freed), cudaSuccess);
  ASSERT_EQ(cudaMemset(device, 0, size), cudaSuccess);
  std::vector<unsigned char> host(2 * size, 0x55);
  const auto hostBefore = host;

  struct Case {
    const char* name;
    void* dst;
    const void* src;
    std::size_t count;
    cudaMemcpyKind kind;
    cudaError_t expected;
  };
  const Case cases[] = {
      {"write past the end", device + 1000, host.data(), 100, cudaMemcpyHostToDevice, cudaErrorInvalidValue},
      {"write larger than the allocation", device, host.data(), size + 1, cudaMemcpyHostToDevice, cudaErrorInvalidValue},
      {"read from one past the end", host.data(), device + size, 1, cudaMemcpyDeviceToHost, cudaErrorInvalidValue},
      {"read past the end", host.data(), device + 1, size, cudaMemcpyDeviceToHost, cudaErrorInvalidValue},
      {"read freed memory", host.data(), freed, 16, cudaMemcpyDeviceToHost, cudaErrorInvalidValue},
      {"host memory as the device side", host.data(), host.data() + size, 16, cudaMemcpyHostToDevice, cudaErrorInvalidValue},
      {"device memory as the host side", host.data(), device, 16, cudaMemcpyHostToHost, cudaErrorInvalidValue},
      {"device to device past the end", device + 512, device, 513, cudaMemcpyDeviceToDevice, cudaErrorInvalidValue},
      {"default kind past the end", device + 1020, host.data(), 8, cudaMemcpyDefault, cudaErrorInvalidValue},
      {"null destination", nullptr, host.data(), 16, cudaMemcpyHostToHost, cudaErrorInvalidValue},
      {"unknown direction", host.data(), device, 16, static_cast<cudaMemcpyKind>(7), cudaErrorInvalidMemcpyDirection},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cudaMemcpy(c.dst, c.src, c.count, c.kind), c.expected) << c.name;
    EXPECT_EQ(cudaGetLastError(), c.expected) << c.name;
    EXPECT_EQ(cudaMemcpyAsync(c.dst, c.src, c.count, c.kind, nullptr), c.expected) << c.name;
    cudaGetLastError();
  }
  EXPECT_EQ(cudaMemset(device + 1, 7, size), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemset(host.data(), 7, 16), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemsetAsync(freed, 7, 16, nullptr), cudaErrorInvalidValue);
  // The last row would end one byte past the allocation; rows wider than their pitch overlap.
  EXPECT_EQ(cudaMemset2DAsync(device + size - 17, 8, 7, 2, 3, nullptr), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemset2DAsync(device, 4, 7, 8, 2, nullptr), cudaErrorInvalidPitchValue);

  EXPECT_EQ(host, hostBefore);
  std::vector<unsigned char> contents(size);
  ASSERT_EQ(cudaMemcpy(contents.data(), device, size, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(contents, std::vector<unsigned char>(size, 0));
  cudaFree(device);
}

TEST_F(Memory, EmptyTransfersNeedNoValidPointer) {
  EXPECT_EQ(cudaMemcpy(nullptr, nullptr, 0, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(cudaMemset(nullptr, 0, 0), cudaSuccess);
}

TEST_F(Memory, AllocationsAreAlignedAndStartOutUnwritten) {
  float* values = nullptr;
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&values), 3 * sizeof(float)), cudaSuccess);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(values) % 256, 0u);
  float host[3];
  ASSERT_EQ(cudaMemcpy(host, values, sizeof host, cudaMemcpyDeviceToHost), cudaSuccess);
  for (const float v : host) EXPECT_TRUE(std::isnan(v));
  cudaFree(values);
}

TEST_F(Memory, AccountingFollowsAllocationsAndFrees) {
  const std::size_t allocations = emu::liveAllocations();
  const std::size_t bytes = emu::liveBytes();
  size_t freeBefore = 0, total = 0;
  ASSERT_EQ(cudaMemGetInfo(&freeBefore, &total), cudaSuccess);
  EXPECT_EQ(total, std::size_t{8} << 30);

  void* a = nullptr;
  void* b = nullptr;
  void* pinned = nullptr;
  ASSERT_EQ(cudaMalloc(&a, 1000), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&b, 24), cudaSuccess);
  ASSERT_EQ(cudaHostAlloc(&pinned, 512, cudaHostAllocPortable), cudaSuccess);
  EXPECT_EQ(emu::liveAllocations(), allocations + 2);
  EXPECT_EQ(emu::liveBytes(), bytes + 1024);
  EXPECT_EQ(emu::livePinnedAllocations(), 1u);
  EXPECT_EQ(emu::livePinnedBytes(), 512u);
  size_t freeNow = 0;
  ASSERT_EQ(cudaMemGetInfo(&freeNow, &total), cudaSuccess);
  EXPECT_EQ(freeNow, freeBefore - 1024);

  EXPECT_EQ(cudaFree(a), cudaSuccess);
  EXPECT_EQ(cudaFree(b), cudaSuccess);
  EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);
  EXPECT_EQ(emu::liveAllocations(), allocations);
  EXPECT_EQ(emu::liveBytes(), bytes);
  EXPECT_EQ(emu::livePinnedAllocations(), 0u);
  EXPECT_EQ(emu::livePinnedBytes(), 0u);
}

TEST_F(Memory, FreeingAnythingButALiveAllocationIsInvalid) {
  char* device = nullptr;
  void* pinned = nullptr;
  void* freed = nullptr;
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&device), 64), cudaSuccess);
  ASSERT_EQ(cudaMallocHost(&pinned, 64), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&freed, 64), cudaSuccess);
  ASSERT_EQ(cudaFree(freed), cudaSuccess);
  int local = 0;
  EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
  EXPECT_EQ(cudaFreeHost(nullptr), cudaSuccess);
  for (void* p : {static_cast<void*>(device + 8), static_cast<void*>(&local), pinned, freed}) {
    EXPECT_EQ(cudaFree(p), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  }
  EXPECT_EQ(cudaFreeHost(device), cudaErrorInvalidValue);
  EXPECT_EQ(emu::liveAllocations(), 1u);
  EXPECT_EQ(cudaFree(device), cudaSuccess);
  EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);
}

TEST_F(Memory, AllocationRequestsTheDeviceCannotServe) {
  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(cudaMalloc(&p, 0), cudaSuccess);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(cudaMalloc(&p, std::size_t{9} << 30), cudaErrorMemoryAllocation);
  EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
  EXPECT_EQ(cudaMalloc(nullptr, 16), cudaErrorInvalidValue);
  EXPECT_EQ(cudaHostAlloc(&p, 16, 0x100), cudaErrorInvalidValue);
  EXPECT_EQ(emu::liveAllocations(), 0u);
  EXPECT_EQ(emu::livePinnedAllocations(), 0u);
}

TEST_F(Memory, DeviceResetFreesEverythingOfTheDevice) {
  void* device = nullptr;
  void* pinned = nullptr;
  cudaStream_t stream;
  ASSERT_EQ(cudaMalloc(&device, 100), cudaSuccess);
  ASSERT_EQ(cudaMallocHost(&pinned, 100), cudaSuccess);
  ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
  ASSERT_EQ(cudaDeviceReset(), cudaSuccess);
  EXPECT_EQ(emu::liveAllocations(), 0u);
  EXPECT_EQ(emu::livePinnedAllocations(), 0u);
  EXPECT_EQ(cudaStreamDestroy(stream), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaFree(device), cudaErrorInvalidValue);
}

}  // namespace
