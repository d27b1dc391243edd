#pragma once

// UI handles driven through the public C interface alone: requests and replies as JSON, reports
// polled until a condition holds (always within a bound), and the library started once per test
// process on the thread that runs the tests.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "quellmar/quellmar.h"
#include "support/polling.hpp"
#include "support/replies.hpp"

namespace test {

using nlohmann::json;

// The reply of one request as text.
inline std::string uiText(void* ui, const char* request) { return taken(qm_ui_call(ui, request)); }

// One UI handle for the lifetime of the object.
class UI {
public:
    UI() : handle(qm_ui_create()) {
        if (handle == nullptr) throw std::runtime_error("UI handle not created");
    }
    UI(const UI&) = delete;
    UI& operator=(const UI&) = delete;
    ~UI() { qm_ui_destroy(handle); }

    json operator()(const json& request) const { return json::parse(uiText(handle, request.dump().c_str())); }
    json report() const { return (*this)({{"op", "get"}}); }
    json attach(unsigned long window) const { return json::parse(taken(qm_ui_attach(handle, window))); }

    // The first report that satisfies condition, asked for every 10 ms; the test fails (and the
    // last report is returned) when none does within seconds, or a reply is an error.
    json await(const std::function<bool(const json&)>& condition, const char* what, double seconds = 60.0) const {
        json last;
        bool met = false;
        const auto answered = [&] {
            last = report();
            met = condition(last);
            return met || last.contains("error");
        };
        pollUntil(answered, std::chrono::duration<double>(seconds), std::chrono::milliseconds(10));
        if (!met) ADD_FAILURE() << "no report " << what << ": " << last;
        return last;
    }

    void* get() const { return handle; }

private:
    void* handle;
};

inline bool isReady(const json& report) { return report.value("ready", false); }

inline bool hasError(const json& report) { return report.contains("error_message") && !report["error_message"].is_null(); }

// The library is initialised with a resources folder that holds no renderer module, so that an
// attached handle's render thread always ends on its documented failure.
class UITest : public ::testing::Test {
protected:
    static constexpr const char* resources = "/nonexistent/quellmar-resources";

    static void SetUpTestSuite() {
        capabilities = json::parse(taken(qm_initialize(resources)));
        ASSERT_EQ(capabilities.value("abi_version", 0), 1) << capabilities;
    }

    // The message a render thread leaves when it can have no renderer.
    static bool rendererMissing(const std::string& message) {
        if (!capabilities["capabilities"]["native_rendering"].get<bool>())
            return message ==
                   "GPU rendering was not built; install OpenGL/X11/libpng development files and rebuild, or use "
                   "--headless.";
        return message.rfind("Cannot load Linux renderer: ", 0) == 0;
    }

    // Attaches ui to a window and waits for its render thread to give up; the message it left.
    static std::string closedByRenderer(const UI& ui) {
        EXPECT_EQ(ui.attach(7).dump(), "{}");
        const auto closed = [](const json& r) {
            return hasError(r) && rendererMissing(r["error_message"].get<std::string>());
        };
        const json last = ui.await(closed, "with the render error");
        return hasError(last) ? last["error_message"].get<std::string>() : "";
    }

    static inline json capabilities;
};

}  // namespace test
