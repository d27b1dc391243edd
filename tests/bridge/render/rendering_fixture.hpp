#pragma once

// The library started with the folder that holds the renderer module (QM_RESOURCES), so that UI
// handles and engines draw for real on the display named by DISPLAY; the test's own X connection
// makes host windows and sends input to them.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "renderer/x_session.hpp"
#include "support/replies.hpp"
#include "support/ui_fixture.hpp"

namespace test {

class RenderingTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const json document = json::parse(taken(qm_initialize(QM_RESOURCES)));
        ASSERT_TRUE(document["capabilities"]["native_rendering"].get<bool>()) << document;
    }

    void SetUp() override {
        if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "needs an X display: DISPLAY is not set";
        x = std::make_unique<XSession>();
    }

    std::unique_ptr<XSession> x;
};

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
