#pragma once

// The library started with the folder that holds the renderer module (QM_RESOURCES), so that UI
// handles and engines draw for real on the display named by DISPLAY; the test's own X connection
// makes host windows and sends input to them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "renderer/x_session.hpp"
#include "support/replies.hpp"
#include "support/ui_fixture.hpp"
#include "support/watchdog.hpp"

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

}  // namespace test
