#pragma once

#include <gtest/gtest.h>

#include <quellmar_emulator/control.hpp>
#include <quellmar_emulator/kernel.hpp>
#include <vector>

namespace emu::testing {

// Each test starts from the default machine with no faults armed and no error pending.
class EmulatorTest : public ::testing::Test {
 protected:
  void SetUp() override { resetAll(); }
  void TearDown() override { resetAll(); }

 private:
  static void resetAll() {
    emu::reset();
    cudaGetLastError();
  }
};

// Device memory holding `count` values of T, freed on destruction.
template <typename T>
class DeviceBuffer {
 public:
  explicit DeviceBuffer(std::size_t count) : count_(count) {
    EXPECT_EQ(cudaMalloc(reinterpret_cast<void**>(&data_), count * sizeof(T)), cudaSuccess);
  }
  explicit DeviceBuffer(const std::vector<T>& values) : DeviceBuffer(values.size()) {
    EXPECT_EQ(cudaMemcpy(data_, values.data(), bytes(), cudaMemcpyHostToDevice), cudaSuccess);
  }
  ~DeviceBuffer() { cudaFree(data_); }
  DeviceBuffer(const DeviceBuffer&) = delete;
  DeviceBuffer& operator=(const DeviceBuffer&) = delete;

  T* get() const { return data_; }
  std::size_t bytes() const { return count_ * sizeof(T); }

  std::vector<T> read() const {
    std::vector<T> values(count_);
    EXPECT_EQ(cudaMemcpy(values.data(), data_, bytes(), cudaMemcpyDeviceToHost), cudaSuccess);
    return values;
  }

 private:
  std::size_t count_;
  T* data_ = nullptr;
};

// Launches a __global__ function the way the product's launch helper does.
template <typename... Parameters, typename... Arguments>
void launchKernel(dim3 grid, dim3 block, cudaStream_t stream, void (*kernel)(Parameters...),
                  Arguments... arguments) {
  emu::launch(grid, block, stream, [&] { kernel(arguments...); });
}

}  // namespace emu::testing
