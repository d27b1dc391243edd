#pragma once

// Waiting for a condition that another thread or process brings about, always within a bound.
#include <chrono>
#include <thread>

namespace test {

// Asks done() until it answers true or bound has passed, at least once; false when it never
// answered true. Between asks the thread sleeps for pause, or only yields where pause is zero,
// for a condition that comes within microseconds. What done() looked at is the caller's to keep,
// for the result or for the report of a timeout.
template <typename Done, typename Rep, typename Period>
bool pollUntil(Done&& done, std::chrono::duration<Rep, Period> bound, std::chrono::microseconds pause) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        if (pause == pause.zero())
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(pause);
    }
    return true;
}

}  // namespace test
