#pragma once

// Requests nested far deeper than any call stack could follow, and a thread with a small stack
// to read them on: a reader that recursed into a value would overflow it.
#include <pthread.h>

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>

namespace test {

constexpr std::size_t deepNesting = 100000;

// An array holding an array ... depth levels deep, as JSON text.
inline std::string nestedArrays(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// An object whose one key holds an object ... depth levels deep, as JSON text.
inline std::string nestedObjects(std::size_t depth) {
    std::string text;
    for (std::size_t level = 0; level < depth; ++level) text += "{\"a\":";
    return text + "0" + std::string(depth, '}');
}

// Runs work on a new thread with a stack of the given size and waits for it. work must not throw.
inline void onSmallStack(std::size_t bytes, const std::function<void()>& work) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, bytes);
    pthread_t thread;
    const auto run = [](void* argument) -> void* {
        (*static_cast<const std::function<void()>*>(argument))();
        return nullptr;
    };
    const int created = pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&work));
    pthread_attr_destroy(&attributes);
    if (created != 0) throw std::runtime_error("cannot start a thread with a small stack");
    pthread_join(thread, nullptr);
}

// Enough for the readers and the engine's first steps, far too little for recursion per level.
constexpr std::size_t smallStack = 256 * 1024;

}  // namespace test
