#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "quellmar_emulator/control.hpp"
#include "runtime.hpp"

namespace {

struct ArmedFault {
  std::string function;  // empty: a call of any function
  int remaining;
  cudaError_t error;
};

struct Faults {
  std::mutex mutex;
  std::vector<ArmedFault> armed;
  // Lets the common path skip the lock while nothing is armed.
  std::atomic<bool> anyArmed{false};
  std::atomic<unsigned long long> calls{0};
  const char* lastFailed = nullptr;
  int failingLaunches = 0;
  cudaError_t launchError = cudaErrorLaunchFailure;
  std::map<int, cudaError_t> pending;
};

Faults& faults() {
  static Faults instance;
  return instance;
}

void updateArmed(Faults& f) { f.anyArmed = !f.armed.empty() || f.failingLaunches > 0; }

}  // namespace

namespace emu {

void failCall(const char* function, int k, cudaError_t error) {
  if (k < 1) return;
  Faults& f = faults();
  std::lock_guard lock(f.mutex);
  f.armed.push_back({function != nullptr ? function : "", k, error});
  updateArmed(f);
}

unsigned long long callCount() { return faults().calls.load(); }

const char* lastFailedCall() {
  Faults& f = faults();
  std::lock_guard lock(f.mutex);
  return f.lastFailed;
}

void failLaunches(int count, cudaError_t error) {
  Faults& f = faults();
  std::lock_guard lock(f.mutex);
  f.failingLaunches = count > 0 ? count : 0;
  f.launchError = error;
  updateArmed(f);
}

}  // namespace emu

namespace emu::detail {

cudaError_t injectedFault(const char* function) {
  Faults& f = faults();
  f.calls.fetch_add(1, std::memory_order_relaxed);
  if (!f.anyArmed.load(std::memory_order_acquire)) return cudaSuccess;
  std::lock_guard lock(f.mutex);
  cudaError_t fired = cudaSuccess;
  for (auto it = f.armed.begin(); it != f.armed.end();) {
    if ((it->function.empty() || it->function == function) && --it->remaining == 0) {
      if (fired == cudaSuccess) fired = it->error;
      f.lastFailed = function;
      it = f.armed.erase(it);
    } else {
      ++it;
    }
  }
  updateArmed(f);
  return fired;
}

bool takeLaunchFailure(cudaError_t& error) {
  Faults& f = faults();
  if (!f.anyArmed.load(std::memory_order_acquire)) return false;
  std::lock_guard lock(f.mutex);
  if (f.failingLaunches == 0) return false;
  --f.failingLaunches;
  error = f.launchError;
  updateArmed(f);
  return true;
}

void setPendingError(int device, cudaError_t error) {
  Faults& f = faults();
  std::lock_guard lock(f.mutex);
  f.pending.emplace(device, error);
}

cudaError_t takePendingError(int device) {
  Faults& f = faults();
  std::lock_guard lock(f.mutex);
  const auto it = f.pending.find(device);
  if (it == f.pending.end()) return cudaSuccess;
  const cudaError_t error = it->second;
  f.pending.erase(it);
  return error;
}

void resetFaults() {
  Faults& f = faults();
  std::lock_guard lock(f.mutex);
  f.armed.clear();
  f.failingLaunches = 0;
  f.pending.clear();
  f.lastFailed = nullptr;
  updateArmed(f);
}

}  // namespace emu::detail
