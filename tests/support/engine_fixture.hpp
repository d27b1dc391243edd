#pragma once

// Headless engines driven through the public C interface alone: replies as text or JSON, the
// library's one-time initialisation, and a scratch folder for exported files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "quellmar/quellmar.h"
#include "support/replies.hpp"
#include "support/temp_folder.hpp"

namespace test {

using nlohmann::json;

// The reply of one call as text; the library's string is released here.
inline std::string callText(void* engine, const char* request) { return taken(qm_engine_call(engine, request)); }

inline json call(void* engine, const json& request) { return json::parse(callText(engine, request.dump().c_str())); }

// A reply with its GPU timing removed: everything else is deterministic and compared exactly.
inline std::string withoutTiming(json reply) {
    reply.erase("gpu_milliseconds");
    return reply.dump();
}

// One engine for the lifetime of the object.
class Engine {
public:
    explicit Engine(const json& configuration) {
        char* error = nullptr;
        handle = qm_engine_create(configuration.dump().c_str(), &error);
        if (handle == nullptr) {
            const std::string message = error != nullptr ? error : "(no message)";
            qm_string_free(error);
            throw std::runtime_error("engine not created: " + message);
        }
    }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    ~Engine() { qm_engine_destroy(handle); }

    json operator()(const json& request) const { return call(handle, request); }
    void* get() const { return handle; }

private:
    void* handle;
};

// Engine tests start the library once per process and get a fresh, empty folder per test.
class EngineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char* document = qm_initialize(nullptr);
        ASSERT_NE(document, nullptr);
        const std::string text = document;
        qm_string_free(document);
        ASSERT_EQ(text.rfind("{\"abi_version\":1,", 0), 0u) << text;
    }

    // A file name in this test's folder, as a JSON string.
    std::string file(const char* name) const { return (scratch / name).string(); }

    static std::string testName() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        return "quellmar-" + std::string(info->test_suite_name()) + "-" + info->name();
    }

    const TempFolder scratch{testName()};
    const std::filesystem::path& folder = scratch.root;
};

}  // namespace test
