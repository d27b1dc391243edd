// ThreadSanitizer's instrumentation calls a function of its run time before each load and store,
// with the address and the width. This test links no run time; the functions here take its place
// and mark the bytes of the running launch's allocations. Code outside a launch (host code is
// instrumented as well) and memory outside its allocations (stacks, block storage, the launch's
// parameters) are not counted.
#include <algorithm>
#include <atomic>
#include <vector>

#include "traffic_counter.hpp"

namespace {

// What a launch has done to one byte.
constexpr unsigned char readFirst = 1;  // read while the launch had not written it
constexpr unsigned char written = 2;

struct Allocation {
    std::uintptr_t base;
    std::size_t size;
    std::vector<unsigned char> marks;
};

// The allocations of the launch that is running, null between launches.
std::atomic<std::vector<Allocation>*> running{nullptr};

// Blocks of a launch run on several OS threads at once, hence the atomic marks.
void mark(const volatile void* address, std::size_t size, unsigned char access) {
    std::vector<Allocation>* allocations = running.load(std::memory_order_acquire);
    if (allocations == nullptr) return;
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    for (Allocation& allocation : *allocations) {
        const std::uintptr_t offset = at - allocation.base;
        if (offset >= allocation.size) continue;
        const std::size_t end = std::min<std::size_t>(offset + size, allocation.size);
        for (std::size_t i = offset; i < end; ++i) {
            unsigned char* byte = &allocation.marks[i];
            if (access == written || (__atomic_load_n(byte, __ATOMIC_RELAXED) & written) == 0)
                __atomic_fetch_or(byte, access, __ATOMIC_RELAXED);
        }
        return;
    }
}

// The atomic operations, each as the access it makes; the order asked for is strengthened to
// sequential consistency.
template <typename T>
T load(const volatile T* address) {
    mark(address, sizeof(T), readFirst);
    return __atomic_load_n(address, __ATOMIC_SEQ_CST);
}

template <typename T>
void store(volatile T* address, T value) {
    mark(address, sizeof(T), written);
    __atomic_store_n(address, value, __ATOMIC_SEQ_CST);
}

template <typename T>
T exchange(volatile T* address, T value) {
    mark(address, sizeof(T), readFirst);
    mark(address, sizeof(T), written);
    return __atomic_exchange_n(address, value, __ATOMIC_SEQ_CST);
}

template <typename T>
T fetchAdd(volatile T* address, T value) {
    mark(address, sizeof(T), readFirst);
    mark(address, sizeof(T), written);
    return __atomic_fetch_add(address, value, __ATOMIC_SEQ_CST);
}

template <typename T>
int compareExchange(volatile T* address, T* expected, T value) {
    mark(address, sizeof(T), readFirst);
    const bool exchanged = __atomic_compare_exchange_n(address, expected, value, false, __ATOMIC_SEQ_CST,
                                                       __ATOMIC_SEQ_CST);
    if (exchanged) mark(address, sizeof(T), written);
    return exchanged;
}

}  // namespace

struct test::TrafficCounter::Launch {
    std::vector<Allocation> allocations;
};

test::TrafficCounter::TrafficCounter() : launch_(std::make_unique<Launch>()) { emu::observeLaunches(this); }

test::TrafficCounter::~TrafficCounter() { emu::observeLaunches(nullptr); }

void test::TrafficCounter::begin(const emu::DeviceRange* allocations, std::size_t count) {
    launch_->allocations.clear();
    for (std::size_t i = 0; i < count; ++i)
        launch_->allocations.push_back({reinterpret_cast<std::uintptr_t>(allocations[i].base), allocations[i].size,
                                        std::vector<unsigned char>(allocations[i].size, 0)});
    running.store(&launch_->allocations, std::memory_order_release);
}

void test::TrafficCounter::end() {
    running.store(nullptr, std::memory_order_release);
    ++launches_;
    for (const Allocation& allocation : launch_->allocations)
        for (unsigned char byte : allocation.marks) bytes_ += ((byte & readFirst) != 0) + ((byte & written) != 0);
}

extern "C" {

void __tsan_init() {}

#define QM_ACCESSES(size)                                                               \
    void __tsan_read##size(void* address) { mark(address, size, readFirst); }           \
    void __tsan_write##size(void* address) { mark(address, size, written); }            \
    void __tsan_unaligned_read##size(void* address) { mark(address, size, readFirst); } \
    void __tsan_unaligned_write##size(void* address) { mark(address, size, written); }
QM_ACCESSES(1)
QM_ACCESSES(2)
QM_ACCESSES(4)
QM_ACCESSES(8)
QM_ACCESSES(16)

void __tsan_read_range(void* address, unsigned long size) { mark(address, size, readFirst); }
void __tsan_write_range(void* address, unsigned long size) { mark(address, size, written); }
void __tsan_vptr_update(void** slot, void*) { mark(slot, sizeof(void*), written); }

#define QM_ATOMICS(bits, type)                                                                                 \
    type __tsan_atomic##bits##_load(const volatile type* address, int) { return load(address); }               \
    void __tsan_atomic##bits##_store(volatile type* address, type value, int) { store(address, value); }       \
    type __tsan_atomic##bits##_exchange(volatile type* address, type value, int) {                             \
        return exchange(address, value);                                                                       \
    }                                                                                                          \
    type __tsan_atomic##bits##_fetch_add(volatile type* address, type value, int) {                            \
        return fetchAdd(address, value);                                                                       \
    }                                                                                                          \
    int __tsan_atomic##bits##_compare_exchange_strong(volatile type* address, type* expected, type value, int, \
                                                      int) {                                                   \
        return compareExchange(address, expected, value);                                                      \
    }
QM_ATOMICS(8, std::int8_t)
QM_ATOMICS(32, std::int32_t)
QM_ATOMICS(64, std::int64_t)

void __tsan_atomic_thread_fence(int) { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
}
