#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "common/device_limits.hpp"
#include "common/environment.hpp"
#include "fiber.hpp"
#include "quellmar_emulator/control.hpp"
#include "quellmar_emulator/kernel.hpp"
#include "runtime.hpp"
#include "workers.hpp"

__thread uint3 threadIdx;
__thread uint3 blockIdx;
__thread dim3 blockDim;
__thread dim3 gridDim;

namespace emu::detail {
namespace {

struct Fiber {
  Context context;
  Stack stack;
  class BlockRunner* runner = nullptr;
  uint3 thread{};
};

uint3 unflatten(std::uint64_t index, dim3 shape) {
  return {static_cast<unsigned>(index % shape.x),
          static_cast<unsigned>(index / shape.x % shape.y),
          static_cast<unsigned>(index / shape.x / shape.y)};
}

// Runs the threads of one block on the calling OS thread. A fiber runs thread after thread
// until one of them reaches a barrier; only then does the next thread get a fiber of its
// own. A block without barriers therefore runs on a single fiber, and one with barriers gets
// a fiber per thread, resumed phase by phase: a phase ends when every thread that has not
// returned waits at the barrier. Within a phase a fiber that stops hands over to the next one
// itself, since a reduction's barriers are most of its time and a detour through the scheduler
// would double their switches.
class BlockRunner {
 public:
  void run(const std::function<void()>& body, dim3 shape) {
    body_ = &body;
    shape_ = shape;
    threads_ = shape.x * shape.y * shape.z;
    next_ = 0;
    while (next_ < threads_) {
      Fiber* fiber = acquire();
      fiber->context.prepare(fiber->stack.base(), Stack::kSize, &BlockRunner::fiberMain, fiber);
      switchContext(scheduler_, enter(fiber));
    }
    while (!waiting_.empty()) {
      phase_.swap(waiting_);
      resumed_ = 1;
      switchContext(scheduler_, enter(phase_.front()));
      phase_.clear();
    }
  }

  void arrive() {
    Fiber* fiber = current_;
    waiting_.push_back(fiber);
    leave(fiber);
  }

 private:
  static void fiberMain(void* argument) noexcept {
    auto* fiber = static_cast<Fiber*>(argument);
    BlockRunner& runner = *fiber->runner;
    while (runner.next_ < runner.threads_) {
      fiber->thread = unflatten(runner.next_++, runner.shape_);
      *runner.threadIndex_ = fiber->thread;
      (*runner.body_)();
    }
    // Idle before it has left: only the scheduler takes idle fibers, and only once this one has
    // switched away.
    runner.idle_.push_back(fiber);
    runner.leave(fiber);
  }

  Fiber* acquire() {
    if (idle_.empty()) {
      owned_.push_back(std::make_unique<Fiber>());
      owned_.back()->runner = this;
      idle_.push_back(owned_.back().get());
    }
    Fiber* fiber = idle_.back();
    idle_.pop_back();
    return fiber;
  }

  Context& enter(Fiber* fiber) {
    current_ = fiber;
    *threadIndex_ = fiber->thread;
    return fiber->context;
  }

  // Switches from the running fiber to the next one of the phase, or back to the scheduler once
  // the phase is through; outside the phases that follow the first, always to the scheduler.
  void leave(Fiber* fiber) {
    switchContext(fiber->context, resumed_ < phase_.size() ? enter(phase_[resumed_++]) : scheduler_);
  }

  // This OS thread's threadIdx, looked up once: every switch sets it, and each access to a
  // thread-local variable of a shared library is a call.
  uint3* const threadIndex_ = &threadIdx;
  Context scheduler_;
  const std::function<void()>* body_ = nullptr;
  dim3 shape_;
  unsigned threads_ = 0;
  unsigned next_ = 0;
  Fiber* current_ = nullptr;
  // The fibers of the running phase resumed so far.
  std::size_t resumed_ = 0;
  std::vector<Fiber*> waiting_;
  std::vector<Fiber*> phase_;
  std::vector<Fiber*> idle_;
  std::vector<std::unique_ptr<Fiber>> owned_;
};

// The runner of the block executing on this OS thread, null outside kernels.
thread_local BlockRunner* tActive = nullptr;

int environmentWorkers() {
  const auto threads = environmentNumber("QM_EMULATOR_THREADS");
  if (threads && *threads >= 1) return static_cast<int>(*threads);
  const int hardware = static_cast<int>(std::thread::hardware_concurrency());
  return std::clamp(hardware, 1, 8);
}

std::atomic<int>& workers() {
  static std::atomic<int> count{environmentWorkers()};
  return count;
}

void runGrid(dim3 grid, dim3 block, const std::function<void()>& body) {
  const std::uint64_t blocks = std::uint64_t{grid.x} * grid.y * grid.z;
  parallelFor(blocks, workers(), [&](std::uint64_t index) {
    thread_local BlockRunner runner;
    gridDim = grid;
    blockDim = block;
    blockIdx = unflatten(index, grid);
    tActive = &runner;
    runner.run(body, block);
    tActive = nullptr;
  });
}

std::atomic<LaunchObserver*>& launchObserver() {
  static std::atomic<LaunchObserver*> observer{nullptr};
  return observer;
}

// The distinct allocations that a launch's arguments lead into, for its observer.
std::vector<DeviceRange> touchedAllocations(const Touch* touches, std::size_t count) {
  std::vector<DeviceRange> allocations;
  for (std::size_t i = 0; i < count; ++i) {
    AllocationView view{};
    if (touches[i].pointer == nullptr || !findAllocation(touches[i].pointer, view)) continue;
    const auto* base = reinterpret_cast<const void*>(view.base);
    const bool seen = std::any_of(allocations.begin(), allocations.end(),
                                  [&](const DeviceRange& range) { return range.base == base; });
    if (!seen) allocations.push_back({base, view.size});
  }
  return allocations;
}

void runObserved(dim3 grid, dim3 block, const std::function<void()>& body, const Touch* touches,
                 std::size_t count) {
  LaunchObserver* observer = launchObserver().load();
  if (observer == nullptr) {
    runGrid(grid, block, body);
    return;
  }
  const std::vector<DeviceRange> allocations = touchedAllocations(touches, count);
  observer->begin(allocations.data(), allocations.size());
  runGrid(grid, block, body);
  observer->end();
}

// Device work runs when the stream order allows it; work that races fails like a launch on the
// device, now and at the next synchronisation.
template <typename Run>
cudaError_t runOrdered(cudaStream_t stream, const Operation& operation, const Touch* touches,
                       std::size_t count, Run&& run) {
  const cudaError_t order = orderOperation(stream, operation, touches, count, false);
  if (order != cudaSuccess) {
    setPendingError(currentDevice(), order);
    return order;
  }
  run();
  return cudaSuccess;
}

}  // namespace

void resetWorkers() { workers() = environmentWorkers(); }

}  // namespace emu::detail

namespace emu {

void setWorkerThreads(int count) { detail::workers() = count > 1 ? count : 1; }

void observeLaunches(LaunchObserver* observer) { detail::launchObserver() = observer; }

void launch(dim3 grid, dim3 block, cudaStream_t stream, const std::function<void()>& body) {
  launch(grid, block, stream, body, nullptr, nullptr, 0);
}

void launch(dim3 grid, dim3 block, cudaStream_t stream, const std::function<void()>& body,
            const void* kernel, const Touch* touches, std::size_t count) {
  detail::call("cudaLaunchKernel", detail::Needs::device, [&] {
    if (!limits::validLaunchShape(grid.x, grid.y, grid.z, block.x, block.y, block.z)) return cudaErrorInvalidConfiguration;
    if (!detail::streamValid(stream)) return cudaErrorInvalidResourceHandle;
    // Launching from inside a kernel would need the device runtime.
    if (detail::tActive != nullptr) return cudaErrorNotSupported;
    cudaError_t failure;
    if (detail::takeLaunchFailure(failure)) {
      detail::setPendingError(detail::currentDevice(), failure);
      return failure;
    }
    return detail::runOrdered(stream, {"kernel launch", nullptr, kernel}, touches, count,
                              [&] { detail::runObserved(grid, block, body, touches, count); });
  });
}

void runOnStream(cudaStream_t stream, const char* name, std::initializer_list<Touch> touches,
                 const std::function<void()>& body) {
  detail::call(name, detail::Needs::device, [&] {
    if (!detail::streamValid(stream)) return cudaErrorInvalidResourceHandle;
    return detail::runOrdered(stream, {name}, touches.begin(), touches.size(), body);
  });
}

void syncthreads() {
  if (detail::tActive == nullptr) {
    std::fputs("quellmar emulator: __syncthreads called outside a kernel\n", stderr);
    std::abort();
  }
  detail::tActive->arrive();
}

}  // namespace emu
