#include "fiber.hpp"

#include <unistd.h>

#include <cstdint>
#include <new>
#include <sys/mman.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace emu::detail {

namespace {

std::size_t pageSize() {
  static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

}  // namespace

Stack::Stack() {
  const std::size_t guard = pageSize();
  mapping_ = mmap(nullptr, guard + kSize, PROT_READ | PROT_WRITE,
                  MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (mapping_ == MAP_FAILED) throw std::bad_alloc();
  mprotect(mapping_, guard, PROT_NONE);
  base_ = static_cast<char*>(mapping_) + guard;
}

Stack::~Stack() {
#if defined(__SANITIZE_ADDRESS__)
  // A fiber ends by switching away, so the redzones of the frames it never returned from stay
  // poisoned, and unmapping does not clear them: whatever the system maps here next (a library,
  // an emulated device allocation) would read as stack memory and fail its first access.
  ASAN_UNPOISON_MEMORY_REGION(base_, kSize);
#endif
  munmap(mapping_, pageSize() + kSize);
}

#if defined(QM_EMULATOR_ASM_FIBERS)

extern "C" void qm_emulator_switch(void** save, void* resume);
extern "C" void qm_emulator_fiber_start();

// qm_emulator_switch pushes the callee-saved registers, stores the stack pointer, loads the
// other one and pops in reverse. A fresh context is a stack laid out as if it had been
// switched away from just before qm_emulator_fiber_start, with the entry in r12 and its
// argument in r13.
asm(R"(
  .text
  .globl qm_emulator_switch
  .hidden qm_emulator_switch
  .type qm_emulator_switch, @function
qm_emulator_switch:
  pushq %rbp
  pushq %rbx
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  movq %rsp, (%rdi)
  movq %rsi, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rbx
  popq %rbp
  ret
  .size qm_emulator_switch, .-qm_emulator_switch

  .globl qm_emulator_fiber_start
  .hidden qm_emulator_fiber_start
  .type qm_emulator_fiber_start, @function
qm_emulator_fiber_start:
  movq %r13, %rdi
  callq *%r12
  ud2
  .size qm_emulator_fiber_start, .-qm_emulator_fiber_start
)");

void Context::prepare(void* stack, std::size_t size, Entry entry, void* argument) {
  auto top = (reinterpret_cast<std::uintptr_t>(stack) + size) & ~std::uintptr_t{15};
  // After the six pops and the ret the stack pointer must be 16-byte aligned, as the ABI
  // wants it before the call into the entry.
  auto* slots = reinterpret_cast<void**>(top - 16 - 7 * sizeof(void*));
  slots[0] = nullptr;                                            // r15
  slots[1] = nullptr;                                            // r14
  slots[2] = argument;                                           // r13
  slots[3] = reinterpret_cast<void*>(entry);                     // r12
  slots[4] = nullptr;                                            // rbx
  slots[5] = nullptr;                                            // rbp
  slots[6] = reinterpret_cast<void*>(&qm_emulator_fiber_start);  // return address
  stackPointer_ = slots;
}

void switchContext(Context& from, Context& to) {
  qm_emulator_switch(&from.stackPointer_, to.stackPointer_);
}

#else

namespace {

// makecontext passes only int arguments, so the entry and its argument travel in halves.
void startFiber(unsigned entryHigh, unsigned entryLow, unsigned argumentHigh,
                unsigned argumentLow) {
  const auto join = [](unsigned high, unsigned low) {
    return (static_cast<std::uintptr_t>(high) << 32) | low;
  };
  const auto entry = reinterpret_cast<Context::Entry>(join(entryHigh, entryLow));
  entry(reinterpret_cast<void*>(join(argumentHigh, argumentLow)));
}

}  // namespace

void Context::prepare(void* stack, std::size_t size, Entry entry, void* argument) {
  getcontext(&context_);
  context_.uc_stack.ss_sp = stack;
  context_.uc_stack.ss_size = size;
  context_.uc_link = nullptr;
  const auto e = reinterpret_cast<std::uintptr_t>(entry);
  const auto a = reinterpret_cast<std::uintptr_t>(argument);
  makecontext(&context_, reinterpret_cast<void (*)()>(&startFiber), 4,
              static_cast<unsigned>(e >> 32), static_cast<unsigned>(e),
              static_cast<unsigned>(a >> 32), static_cast<unsigned>(a));
}

void switchContext(Context& from, Context& to) { swapcontext(&from.context_, &to.context_); }

#endif

}  // namespace emu::detail
