#pragma once

#include <cstddef>

// QM_EMULATOR_UCONTEXT selects ucontext on x86-64 too, for tools that follow stack switches
// only through it.
//
// Under ThreadSanitizer the fibers stay unannounced: all fibers of an OS thread are one
// sanitizer thread, which is what they are, since they run one after another. That holds only
// in a build that does not instrument function entry and exit
// (--param=tsan-instrument-func-entry-exit=0, as the tsan preset has it): a fiber's entry frames
// are never left, and would pile up on the thread's shadow call stack until it overflows.
// Announcing the fibers instead (__tsan_create_fiber) makes one sanitizer thread per emulated GPU
// thread, and their clocks made the threaded tests some fifty times slower.
#if defined(__x86_64__) && !defined(QM_EMULATOR_UCONTEXT)
#define QM_EMULATOR_ASM_FIBERS 1
#else
#include <ucontext.h>
#endif

namespace emu::detail {

// A saved execution context. On x86-64 a switch saves the callee-saved registers on the
// stack it leaves, a few nanoseconds without a system call; elsewhere ucontext does the work.
class Context {
 public:
  using Entry = void (*)(void*);

  // Makes the next switch into this context call entry(argument) on the given stack.
  // `entry` must never return; it leaves by switching away.
  void prepare(void* stack, std::size_t size, Entry entry, void* argument);

  // Saves the running context into `from` and resumes `to`.
  friend void switchContext(Context& from, Context& to);

 private:
#if defined(QM_EMULATOR_ASM_FIBERS)
  void* stackPointer_ = nullptr;
#else
  ucontext_t context_{};
#endif
};

// A fiber stack with an inaccessible guard page below it, so an overflow faults instead of
// corrupting a neighbour.
class Stack {
 public:
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer's calls at every memory access take stack of their own.
  static constexpr std::size_t kSize = 256 * 1024;
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
