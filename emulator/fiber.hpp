#pragma once

#include <cstddef>

// QM_EMULATOR_UCONTEXT selects ucontext on x86-64 too, for tools that follow stack switches
// only through it.
#if defined(__x86_64__) && !defined(QM_EMULATOR_UCONTEXT)
#define QM_EMULATOR_ASM_FIBERS 1
#else
#include <ucontext.h>
#endif

// ThreadSanitizer keeps a shadow stack and a clock per thread; every fiber needs its own, or
// the first switch corrupts the state of the OS thread it runs on.
#if defined(__SANITIZE_THREAD__)
#define QM_EMULATOR_TSAN_FIBERS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QM_EMULATOR_TSAN_FIBERS 1
#endif
#endif

namespace emu::detail {

// A saved execution context. On x86-64 a switch saves the callee-saved registers on the
// stack it leaves, a few nanoseconds without a system call; elsewhere ucontext does the work.
class Context {
 public:
  using Entry = void (*)(void*);

  Context() = default;
  ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  // Makes the next switch into this context call entry(argument) on the given stack.
  // `entry` must never return; it leaves by switching away.
  void prepare(void* stack, std::size_t size, Entry entry, void* argument);

  // Saves the running context into `from` and resumes `to`.
  friend void switchContext(Context& from, Context& to);

 private:
  // Tell ThreadSanitizer about a new fiber and about each switch; no-ops in other builds.
  void beginSanitizerFiber();
  static void announceSwitch(Context& from, Context& to);

#if defined(QM_EMULATOR_ASM_FIBERS)
  void* stackPointer_ = nullptr;
#else
  ucontext_t context_{};
#endif
#if defined(QM_EMULATOR_TSAN_FIBERS)
  // The sanitizer's fiber: created by prepare() and owned, or, for a context that is only
  // ever switched away from, the OS thread's own, adopted at its first switch.
  void* tsanFiber_ = nullptr;
  bool ownsTsanFiber_ = false;
#endif
};

// A fiber stack with an inaccessible guard page below it, so an overflow faults instead of
// corrupting a neighbour.
class Stack {
 public:
#if defined(QM_EMULATOR_TSAN_FIBERS)
  // Instrumented code takes several times the stack of the plain build.
  static constexpr std::size_t kSize = 512 * 1024;
#else
  static constexpr std::size_t kSize = 64 * 1024;
#endif

  Stack();
  ~Stack();
  Stack(const Stack&) = delete;
  Stack& operator=(const Stack&) = delete;

  void* base() const { return base_; }

 private:
  void* mapping_;
  void* base_;
};

}  // namespace emu::detail
