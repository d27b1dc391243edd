// The stream-order checker. A device runs the work of different streams concurrently, in any
// order their dependencies allow; the emulator runs every operation when it is issued, so a
// program that forgets an ordering edge works here and fails now and then on a device. The
// checker closes that gap: every queue (stream) keeps a vector clock of what it is ordered
// after, every allocation keeps its last writer and its readers since, and an operation that
// touches memory whose earlier use no edge orders before it fails with a message naming both.
//
// The edges are those the platform promises: program order within a stream; cudaStreamWaitEvent
// on an event recorded after the earlier work; the legacy default stream, which waits for all
// earlier work on the blocking streams of its device and makes their later work wait for it;
// and anything the host has seen complete (a synchronisation, a successful query, a copy to the
// host). A copy from pageable host memory to the device with cudaMemcpy, a device-to-device
// cudaMemcpy and cudaMemset may still be running when they return, so they order nothing.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/environment.hpp"
#include "quellmar_emulator/control.hpp"
#include "runtime.hpp"

namespace emu::detail {
namespace {

using QueueId = std::uint64_t;

// For every queue, the position of its last operation known to come before.
using Clock = std::unordered_map<QueueId, std::uint64_t>;

void join(Clock& into, const Clock& from) {
  for (const auto& [queue, position] : from) {
    std::uint64_t& known = into[queue];
    if (position > known) known = position;
  }
}

std::uint64_t positionIn(const Clock& clock, QueueId queue) {
  const auto it = clock.find(queue);
  return it == clock.end() ? 0 : it->second;
}

enum class Kind { legacy,
                  perThread,
                  blocking,
                  nonBlocking };

struct Queue {
  QueueId id;
  Kind kind;
  int device;
  // Operations issued so far; the clock holds this for the queue itself.
  std::uint64_t issued = 0;
  Clock clock;

  bool ordersWithLegacy() const { return kind == Kind::perThread || kind == Kind::blocking; }
};

// One operation's use of an allocation.
struct Use {
  QueueId queue;
  std::uint64_t position;
  Operation operation;
};

struct Record {
  std::uint64_t serial;
  std::size_t size;
  int device;
  std::optional<Use> writer;
  // The last read on each queue since the last write.
  std::vector<Use> readers;
};

struct Target {
  AllocationView allocation;
  bool writes;
};

// The queues of the built-in streams have ids that created streams, whose handles are
// multiples of 16 from 0x1000 on, never have.
QueueId legacyId(int device) { return 2 * static_cast<QueueId>(device) + 1; }

QueueId perThreadId(int device) {
  static std::atomic<QueueId> threads{0};
  thread_local const QueueId thread = ++threads;
  return (QueueId{1} << 63) | (thread << 16) | static_cast<QueueId>(device);
}

bool environmentEnabled() { return environmentNumber("QM_EMULATOR_STREAM_ORDER").value_or(1) != 0; }

std::string hex(std::uint64_t value) {
  std::ostringstream text;
  text << "0x" << std::hex << value;
  return text.str();
}

std::string describe(const Queue& queue) {
  const std::string device = " of device " + std::to_string(queue.device);
  switch (queue.kind) {
    case Kind::legacy: return "the legacy default stream" + device;
    case Kind::perThread: return "the per-thread default stream" + device;
    case Kind::blocking: return "blocking stream " + hex(queue.id) + device;
    case Kind::nonBlocking: return "non-blocking stream " + hex(queue.id) + device;
  }
  return {};
}

std::string describe(const Operation& operation) {
  if (operation.kernel != nullptr) return "kernel " + functionName(operation.kernel);
  std::string text = operation.call;
  if (operation.detail != nullptr) text += std::string(" ") + operation.detail;
  return text;
}

class Checker {
 public:
  cudaError_t order(cudaStream_t stream, const Operation& operation, const Touch* touches,
                    std::size_t count, bool hostWaits) {
    if (!enabled_) return cudaSuccess;
    const std::vector<Target> targets = targetsOf(touches, count);
    std::lock_guard lock(mutex_);
    Queue& queue = enter(stream);
    const Use use{queue.id, queue.issued + 1, operation};
    for (const Target& target : targets) {
      Record& record = recordOf(target.allocation);
      if (record.writer && !ordered(*record.writer, queue)) {
        return race(record, target, use, *record.writer, true);
      }
      if (!target.writes) continue;
      for (const Use& reader : record.readers) {
        if (!ordered(reader, queue)) return race(record, target, use, reader, false);
      }
    }
    queue.issued = use.position;
    queue.clock[queue.id] = use.position;
    for (const Target& target : targets) note(records_.at(target.allocation.base), target, use);
    if (hostWaits) join(completed_, queue.clock);
    return cudaSuccess;
  }

  void addStream(cudaStream_t stream, int device, bool blocking) {
    std::lock_guard lock(mutex_);
    const QueueId id = reinterpret_cast<QueueId>(stream);
    queues_[id] = Queue{id, blocking ? Kind::blocking : Kind::nonBlocking, device, 0, {}};
  }

  void recordEvent(cudaEvent_t event, cudaStream_t stream) {
    std::lock_guard lock(mutex_);
    const Queue& queue = enter(stream);
    events_[key(event)] = Recorded{queue.device, queue.clock};
  }

  void waitEvent(cudaStream_t stream, cudaEvent_t event) {
    std::lock_guard lock(mutex_);
    Queue& queue = enter(stream);
    // Waiting for an event that was never recorded waits for nothing.
    if (const auto it = events_.find(key(event)); it != events_.end()) join(queue.clock, it->second.clock);
  }

  void eventCompleted(cudaEvent_t event) {
    std::lock_guard lock(mutex_);
    if (const auto it = events_.find(key(event)); it != events_.end()) join(completed_, it->second.clock);
  }

  void streamCompleted(cudaStream_t stream) {
    std::lock_guard lock(mutex_);
    join(completed_, queueOf(stream).clock);
  }

  void deviceCompleted(int device) {
    std::lock_guard lock(mutex_);
    for (const auto& [id, queue] : queues_) {
      if (queue.device == device) join(completed_, queue.clock);
    }
  }

  // A destroyed stream takes no more work. Its uses that the host has seen complete come before
  // everything from now on and are dropped; while others remain, its unfinished work stays
  // ordered as before, else nothing needs its name any more. What it was ordered after and the
  // host has not seen stays known to the legacy default stream, which waits for the work of
  // every blocking stream of its device, destroyed ones included.
  void forgetStream(cudaStream_t stream) {
    std::lock_guard lock(mutex_);
    const auto it = queues_.find(reinterpret_cast<QueueId>(stream));
    if (it == queues_.end()) return;
    const QueueId id = it->first;
    const std::uint64_t done = positionIn(completed_, id);
    const auto finished = [&](const Use& use) { return use.queue == id && use.position <= done; };
    bool unfinished = false;
    for (auto& [base, record] : records_) {
      if (record.writer && finished(*record.writer)) record.writer.reset();
      record.readers.erase(std::remove_if(record.readers.begin(), record.readers.end(), finished),
                           record.readers.end());
      unfinished = unfinished || (record.writer && record.writer->queue == id) ||
                   std::any_of(record.readers.begin(), record.readers.end(),
                               [&](const Use& use) { return use.queue == id; });
    }
    if (it->second.ordersWithLegacy()) {
      Clock& retired = retired_[it->second.device];
      for (const auto& [queue, position] : it->second.clock) {
        if (position <= positionIn(completed_, queue) || (queue == id && !unfinished)) continue;
        std::uint64_t& known = retired[queue];
        if (position > known) known = position;
      }
      if (retired.empty()) retired_.erase(it->second.device);
    }
    queues_.erase(it);
    if (unfinished) return;
    completed_.erase(id);
    for (auto& [key, queue] : queues_) queue.clock.erase(id);
    for (auto& [key, event] : events_) event.clock.erase(id);
    for (auto& [device, retired] : retired_) retired.erase(id);
  }

  void forgetEvent(cudaEvent_t event) {
    std::lock_guard lock(mutex_);
    events_.erase(key(event));
  }

  void forgetAllocation(const AllocationView& allocation) {
    std::lock_guard lock(mutex_);
    const auto it = records_.find(allocation.base);
    if (it != records_.end() && it->second.serial == allocation.serial) records_.erase(it);
  }

  void forgetDevice(int device) {
    std::lock_guard lock(mutex_);
    eraseIf(queues_, [&](const Queue& queue) { return queue.device == device; });
    eraseIf(events_, [&](const Recorded& event) { return event.device == device; });
    eraseIf(records_, [&](const Record& record) { return record.device == device; });
    retired_.erase(device);
  }

  const char* report() {
    std::lock_guard lock(mutex_);
    return latest_ != nullptr ? latest_->c_str() : nullptr;
  }

  void reset() {
    std::lock_guard lock(mutex_);
    enabled_ = environmentEnabled();
    latest_ = nullptr;
  }

  void enable(bool enabled) { enabled_ = enabled; }

 private:
  struct Recorded {
    int device;
    Clock clock;
  };

  static std::uintptr_t key(cudaEvent_t event) { return reinterpret_cast<std::uintptr_t>(event); }

  template <typename Table, typename Predicate>
  static void eraseIf(Table& table, Predicate predicate) {
    for (auto it = table.begin(); it != table.end();) {
      it = predicate(it->second) ? table.erase(it) : std::next(it);
    }
  }

  // The allocations the touches lead into, each once; one that is both read and written counts
  // as written.
  static std::vector<Target> targetsOf(const Touch* touches, std::size_t count) {
    std::vector<Target> targets;
    for (std::size_t i = 0; i < count; ++i) {
      AllocationView allocation;
      if (touches[i].pointer == nullptr || !findAllocation(touches[i].pointer, allocation)) continue;
      const bool writes = touches[i].access == Access::write;
      bool merged = false;
      for (Target& target : targets) {
        if (target.allocation.base != allocation.base) continue;
        target.writes = target.writes || writes;
        merged = true;
      }
      if (!merged) targets.push_back({allocation, writes});
    }
    return targets;
  }

  Queue& queueOf(cudaStream_t stream) {
    const int device = currentDevice();
    if (stream == nullptr || stream == cudaStreamLegacy) return builtin(legacyId(device), Kind::legacy, device);
    if (stream == cudaStreamPerThread) return builtin(perThreadId(device), Kind::perThread, device);
    // Streams are registered when created; one that is not is ordered with nothing.
    const QueueId id = reinterpret_cast<QueueId>(stream);
    return builtin(id, Kind::nonBlocking, device);
  }

  Queue& builtin(QueueId id, Kind kind, int device) {
    return queues_.try_emplace(id, Queue{id, kind, device, 0, {}}).first->second;
  }

  // The queue of `stream`, ordered after what the legacy default stream's rule orders it after.
  Queue& enter(cudaStream_t stream) {
    Queue& queue = queueOf(stream);
    if (queue.kind == Kind::legacy) {
      for (const auto& [id, other] : queues_) {
        if (other.device == queue.device && other.ordersWithLegacy()) join(queue.clock, other.clock);
      }
      if (const auto it = retired_.find(queue.device); it != retired_.end()) join(queue.clock, it->second);
    } else if (queue.ordersWithLegacy()) {
      join(queue.clock, builtin(legacyId(queue.device), Kind::legacy, queue.device).clock);
    }
    return queue;
  }

  bool ordered(const Use& earlier, const Queue& queue) const {
    return earlier.queue == queue.id || positionIn(queue.clock, earlier.queue) >= earlier.position ||
           positionIn(completed_, earlier.queue) >= earlier.position;
  }

  Record& recordOf(const AllocationView& allocation) {
    Record& record = records_[allocation.base];
    if (record.serial != allocation.serial) {
      record = Record{allocation.serial, allocation.size, allocation.device, std::nullopt, {}};
    }
    return record;
  }

  static void note(Record& record, const Target& target, const Use& use) {
    if (target.writes) {
      record.writer = use;
      record.readers.clear();
      return;
    }
    for (Use& reader : record.readers) {
      if (reader.queue == use.queue) {
        reader = use;
        return;
      }
    }
    record.readers.push_back(use);
  }

  std::string name(const Use& use) const {
    const auto it = queues_.find(use.queue);
    const std::string queue =
        it != queues_.end() ? describe(it->second) : "a stream since destroyed, or of a device since reset";
    return describe(use.operation) + " (operation " + std::to_string(use.position) + " of " + queue + ")";
  }

  cudaError_t race(const Record& record, const Target& target, const Use& later, const Use& earlier,
                   bool earlierWrote) {
    const std::string text =
        "stream-order race on device allocation " + hex(target.allocation.base) + " (" +
        std::to_string(record.size) + " bytes): " + name(later) + (target.writes ? " writes" : " reads") +
        " it after " + name(earlier) + (earlierWrote ? " wrote" : " read") +
        " it, and nothing orders the two: no synchronisation of the first's stream or of the device, "
        "no event recorded after the first and waited for by the second's stream, and no legacy "
        "default stream ordering between them";
    std::fprintf(stderr, "quellmar emulator: %s\n", text.c_str());
    // Kept for the life of the process: cudaGetErrorString hands out the text.
    latest_ = &reports_.emplace_back(text);
    return cudaErrorIllegalState;
  }

  std::mutex mutex_;
  std::atomic<bool> enabled_{environmentEnabled()};
  std::unordered_map<QueueId, Queue> queues_;
  std::unordered_map<std::uintptr_t, Recorded> events_;
  std::unordered_map<std::uintptr_t, Record> records_;
  Clock completed_;
  // Per device, what destroyed blocking streams were ordered after and the host has not seen.
  std::unordered_map<int, Clock> retired_;
  std::deque<std::string> reports_;
  const std::string* latest_ = nullptr;
};

Checker& checker() {
  static Checker instance;
  return instance;
}

}  // namespace

cudaError_t orderOperation(cudaStream_t stream, const Operation& operation, const Touch* touches,
                           std::size_t count, bool hostWaits) {
  return checker().order(stream, operation, touches, count, hostWaits);
}

void addStream(cudaStream_t stream, int device, bool blocking) { checker().addStream(stream, device, blocking); }
void recordEvent(cudaEvent_t event, cudaStream_t stream) { checker().recordEvent(event, stream); }
void waitEvent(cudaStream_t stream, cudaEvent_t event) { checker().waitEvent(stream, event); }
void eventCompleted(cudaEvent_t event) { checker().eventCompleted(event); }
void streamCompleted(cudaStream_t stream) { checker().streamCompleted(stream); }
void deviceCompleted(int device) { checker().deviceCompleted(device); }
void forgetStream(cudaStream_t stream) { checker().forgetStream(stream); }
void forgetEvent(cudaEvent_t event) { checker().forgetEvent(event); }
void forgetAllocation(const AllocationView& view) { checker().forgetAllocation(view); }
void forgetDevice(int device) { checker().forgetDevice(device); }
const char* raceReport() { return checker().report(); }
void resetStreamOrder() { checker().reset(); }

}  // namespace emu::detail

void emu::setStreamOrderChecks(bool enabled) { detail::checker().enable(enabled); }
