// Kernels run as they would on the device: every thread exactly once, block storage private
// to a block, barriers that hold, atomics that are atomic. Each case runs with blocks on the
// launching thread only and spread over several OS threads.

#include <algorithm>
#include <numeric>
#include <thread>

#include "emulator_test.hpp"

namespace {

using emu::testing::DeviceBuffer;
using emu::testing::launchKernel;

constexpr unsigned kReductionThreads = 256;

__global__ void blockSums(const double* values, double* partial, unsigned count) {
  __shared__ double cache[kReductionThreads];
  const unsigned t = threadIdx.x;
  const unsigned i = blockIdx.x * blockDim.x + t;
  cache[t] = i < count ? values[i] : 0.0;
  __syncthreads();
  for (unsigned stride = blockDim.x / 2; stride > 0; stride /= 2) {
    if (t < stride) cache[t] += cache[t + stride];
    __syncthreads();
  }
  if (t == 0) partial[blockIdx.x] = cache[0];
}

// Passes values around a ring in block storage; each round needs both barriers.
__global__ void rotate(int* out, int rounds) {
  __shared__ int ring[1024];
  const unsigned t = threadIdx.x;
  const unsigned n = blockDim.x;
  int value = static_cast<int>(blockIdx.x * 10000 + t);
  for (int r = 0; r < rounds; ++r) {
    ring[t] = value;
    __syncthreads();
    value = ring[(t + 1) % n];
    __syncthreads();
  }
  out[blockIdx.x * n + t] = value;
}

// Threads that have returned no longer take part in barriers.
__global__ void sumOfSurvivors(int* out, unsigned exitModulus, unsigned exitRemainder) {
  __shared__ int values[256];
  const unsigned t = threadIdx.x;
  values[t] = 0;
  __syncthreads();
  if (t % exitModulus == exitRemainder) return;
  values[t] = static_cast<int>(t);
  __syncthreads();
  int sum = 0;
  for (unsigned i = 0; i < blockDim.x; ++i) sum += values[i];
  out[t] = sum;
}

__global__ void countVisits(unsigned* visits, unsigned* bad) {
  const unsigned x = blockIdx.x * blockDim.x + threadIdx.x;
  const unsigned y = blockIdx.y * blockDim.y + threadIdx.y;
  const unsigned z = blockIdx.z * blockDim.z + threadIdx.z;
  const unsigned width = gridDim.x * blockDim.x;
  const unsigned height = gridDim.y * blockDim.y;
  const bool inside = threadIdx.x < blockDim.x && threadIdx.y < blockDim.y &&
                      threadIdx.z < blockDim.z && blockIdx.x < gridDim.x &&
                      blockIdx.y < gridDim.y && blockIdx.z < gridDim.z;
  if (!inside) {
    atomicAdd(bad, 1u);
    return;
  }
  atomicAdd(&visits[(z * height + y) * width + x], 1u);
}

template <typename T>
__global__ void exchangeChain(T* slot, T* previous) {
  const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
  previous[i] = atomicExch(slot, static_cast<T>(i));
}

__global__ void addOnes(int* ints, unsigned* uints, float* floats) {
  atomicAdd(ints, 1);
  atomicAdd(uints, 1u);
  atomicAdd(floats, 1.0f);
}

class KernelExecution : public emu::testing::EmulatorTest,
                        public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    EmulatorTest::SetUp();
    emu::setWorkerThreads(GetParam());
  }
};

INSTANTIATE_TEST_SUITE_P(Workers, KernelExecution, ::testing::Values(1, 4),
                         [](const auto& info) { return "threads" + std::to_string(info.param); });

std::vector<double> reduceByBlocks(const std::vector<double>& values, cudaStream_t stream) {
  const unsigned blocks = static_cast<unsigned>(values.size() / kReductionThreads);
  DeviceBuffer<double> in(values);
  DeviceBuffer<double> partial(blocks);
  launchKernel(blocks, kReductionThreads, stream, blockSums, in.get(), partial.get(),
               static_cast<unsigned>(values.size()));
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  return partial.read();
}

TEST_P(KernelExecution, TreeReductionOverManyBlocksIsExact) {
  const unsigned blocks = 64;
  std::vector<double> values(blocks * kReductionThreads);
  std::iota(values.begin(), values.end(), 0.0);
  const auto partial = reduceByBlocks(values, nullptr);
  for (unsigned b = 0; b < blocks; ++b) {
    const double first = b * kReductionThreads;
    EXPECT_EQ(partial[b], kReductionThreads * first + kReductionThreads * (kReductionThreads - 1) / 2.0)
        << "block " << b;
  }
  const double n = values.size();
  EXPECT_EQ(std::accumulate(partial.begin(), partial.end(), 0.0), n * (n - 1) / 2);
}

TEST_P(KernelExecution, BlockStorageIsSharedWithinABlockOnly) {
  struct Case {
    unsigned blocks, threads;
    int rounds;
  };
  for (const Case c : {Case{1, 1, 3}, Case{3, 32, 5}, Case{16, 128, 7}, Case{2, 1024, 2}}) {
    DeviceBuffer<int> out(c.blocks * c.threads);
    launchKernel(c.blocks, c.threads, nullptr, rotate, out.get(), c.rounds);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const auto values = out.read();
    for (unsigned b = 0; b < c.blocks; ++b) {
      for (unsigned t = 0; t < c.threads; ++t) {
        const int expected = static_cast<int>(b * 10000 + (t + c.rounds) % c.threads);
        ASSERT_EQ(values[b * c.threads + t], expected)
            << c.blocks << "x" << c.threads << " block " << b << " thread " << t;
      }
    }
  }
}

TEST_P(KernelExecution, ReturnedThreadsLeaveTheBarrier) {
  struct Case {
    const char* name;
    unsigned modulus, remainder;
  };
  const unsigned threads = 256;
  for (const Case c : {Case{"even threads exit", 2, 0}, Case{"odd threads exit", 2, 1},
                       Case{"thread 0 exits", threads, 0}, Case{"last thread exits", threads, threads - 1}}) {
    DeviceBuffer<int> out(std::vector<int>(threads, -1));
    launchKernel(1, threads, nullptr, sumOfSurvivors, out.get(), c.modulus, c.remainder);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess) << c.name;
    int expected = 0;
    for (unsigned t = 0; t < threads; ++t) {
      if (t % c.modulus != c.remainder) expected += static_cast<int>(t);
    }
    const auto values = out.read();
    for (unsigned t = 0; t < threads; ++t) {
      ASSERT_EQ(values[t], t % c.modulus == c.remainder ? -1 : expected) << c.name << ", thread " << t;
    }
  }
}

TEST_P(KernelExecution, EveryIndexOfTheGridRunsExactlyOnce) {
  struct Case {
    dim3 grid, block;
  };
  for (const Case c : {Case{{1, 1, 1}, {1, 1, 1}}, Case{{3, 2, 1}, {16, 8, 1}},
                       Case{{2, 3, 4}, {4, 4, 4}}, Case{{1, 1, 1}, {1024, 1, 1}},
                       Case{{1, 1, 1}, {1, 1024, 1}}, Case{{5, 1, 1}, {2, 2, 64}},
                       Case{{1, 300, 1}, {1, 1, 1}}, Case{{7, 1, 9}, {3, 5, 7}}}) {
    const std::size_t total = std::size_t{c.grid.x} * c.grid.y * c.grid.z * c.block.x * c.block.y * c.block.z;
    DeviceBuffer<unsigned> visits(std::vector<unsigned>(total, 0));
    DeviceBuffer<unsigned> bad(std::vector<unsigned>{0});
    launchKernel(c.grid, c.block, nullptr, countVisits, visits.get(), bad.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const auto counts = visits.read();
    const auto shape = ::testing::PrintToString(std::vector<unsigned>{c.grid.x, c.grid.y, c.grid.z, c.block.x, c.block.y, c.block.z});
    EXPECT_EQ(bad.read()[0], 0u) << shape;
    EXPECT_EQ(std::count(counts.begin(), counts.end(), 1u), static_cast<std::ptrdiff_t>(total)) << shape;
  }
}

template <typename T>
void checkExchangeChain() {
  const unsigned blocks = 64, threads = 256, n = blocks * threads;
  DeviceBuffer<T> slot(std::vector<T>{static_cast<T>(n)});
  DeviceBuffer<T> previous(n);
  launchKernel(blocks, threads, nullptr, exchangeChain<T>, slot.get(), previous.get());
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  // Every value, the initial one included, is handed on exactly once.
  auto seen = previous.read();
  seen.push_back(slot.read()[0]);
  std::sort(seen.begin(), seen.end());
  for (unsigned i = 0; i <= n; ++i) ASSERT_EQ(seen[i], static_cast<T>(i));
}

TEST_P(KernelExecution, AtomicExchangeHandsOnEveryValueOnce) {
  checkExchangeChain<int>();
  checkExchangeChain<unsigned>();
  checkExchangeChain<unsigned long long>();
  checkExchangeChain<float>();
}

TEST_P(KernelExecution, AtomicAddCountsEveryThread) {
  const unsigned blocks = 64, threads = 256;
  DeviceBuffer<int> ints(std::vector<int>{0});
  DeviceBuffer<unsigned> uints(std::vector<unsigned>{0});
  DeviceBuffer<float> floats(std::vector<float>{0});
  launchKernel(blocks, threads, nullptr, addOnes, ints.get(), uints.get(), floats.get());
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(ints.read()[0], static_cast<int>(blocks * threads));
  EXPECT_EQ(uints.read()[0], blocks * threads);
  EXPECT_EQ(floats.read()[0], static_cast<float>(blocks * threads));
}

TEST_P(KernelExecution, LaunchesFromSeveralHostThreadsAreIndependent) {
  const int hostThreads = 4, launches = 10;
  const unsigned blocks = 16;
  std::vector<int> failures(hostThreads, 0);
  std::vector<std::thread> threads;
  for (int h = 0; h < hostThreads; ++h) {
    threads.emplace_back([&, h] {
      cudaStream_t stream;
      ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
      std::vector<double> values(blocks * kReductionThreads);
      for (int l = 0; l < launches; ++l) {
        std::fill(values.begin(), values.end(), h * 100.0 + l);
        for (const double sum : reduceByBlocks(values, stream)) {
          failures[h] += sum != (h * 100.0 + l) * kReductionThreads;
        }
      }
      cudaStreamDestroy(stream);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, std::vector<int>(hostThreads, 0));
}

}  // namespace
