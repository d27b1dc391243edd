#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace test {

// Ends the process when the scope is not left within the given time: a call that waits forever
// fails the test instead of hanging it.
class Watchdog {
public:
    Watchdog(double seconds, std::string what)
        : guard([this, seconds, what = std::move(what)] {
              std::unique_lock<std::mutex> lock(mutex);
              if (!done.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return left; })) {
                  std::fprintf(stderr, "%s did not return within %g s\n", what.c_str(), seconds);
                  std::_Exit(1);
              }
          }) {}
    ~Watchdog() {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            left = true;
        }
        done.notify_one();
        guard.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex mutex;
    std::condition_variable done;
    bool left = false;
    std::thread guard;
};

}  // namespace test
