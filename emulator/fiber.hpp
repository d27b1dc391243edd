#pragma once

#include <cstddef>

// QM_EMULATOR_UCONTEXT selects ucontext on x86-64 too, for tools that follow stack switches
// only through it.
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
  static constexpr std::size_t kSize = 64 * 1024;

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
