// Every integer key of the engine's and the UI's requests, given a number outside the 32-bit int
// range, meets that key's own range check. A conversion that keeps the low 32 bits would read
// 2^32 + k, k - 2^32 or 2^63 + k as k, so each key is first shown to take a k and then given
// those numbers and the others beyond the range, written out as a host writes them, so that the
// library's own reader decides whether it holds them as signed, unsigned or floating numbers.
// "pixel_size", which needs a renderer, is tested with the engine's pictures and the render thread.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "quellmar/quellmar.h"
#include "support/engine_fixture.hpp"
#include "support/messages.hpp"
#include "support/replies.hpp"
#include "support/ui_fixture.hpp"

namespace {

using nlohmann::json;

// Numbers beyond the int range, among them those whose low 32 bits are k.
std::vector<std::string> beyondInt(std::int64_t k) {
    const std::uint64_t u = static_cast<std::uint64_t>(k);
    return {
        std::to_string(u + (std::uint64_t{1} << 32)),
        std::to_string(k - (std::int64_t{1} << 32)),
        std::to_string(u + (std::uint64_t{1} << 63)),
        std::to_string(u + (std::uint64_t{1} << 32)) + ".0",
        "2147483648",
        "-2147483649",
        "4294967296",
        "18446744073709551615",
        "-9223372036854775808",
        "1e19",
        "-1e19",
        "1e300",
    };
}

// The message of a creation request, empty when it made an engine.
std::string creationError(const std::string& request) {
    char* error = nullptr;
    void* engine = qm_engine_create(request.c_str(), &error);
    if (engine == nullptr) return test::taken(error);
    qm_engine_destroy(engine);
    return "";
}

std::string engineError(const test::Engine& engine, const std::string& request) {
    return test::errorOf(json::parse(test::callText(engine.get(), request.c_str())));
}

std::string uiError(const test::UI& ui, const std::string& request) {
    return test::errorOf(json::parse(test::uiText(ui.get(), request.c_str())));
}

class IntegerKeys : public test::UITest {};

TEST_F(IntegerKeys, BeyondTheIntRangeMeetTheKeysOwnRange) {
    const test::Engine engine(json{{"resolution", 16}});
    const test::UI ui;
    struct Key {
        const char* name;
        std::int64_t accepted;
        std::string message;
        // The error of the request whose key holds the number's text; empty when accepted.
        std::function<std::string(const std::string&)> error;
    };
    const Key keys[] = {
        {"resolution of a new engine", 32, test::invalidConfig,
         [](const std::string& v) { return creationError("{\"resolution\":" + v + "}"); }},
        {"k0 of a new engine", 4, test::invalidConfig,
         [](const std::string& v) { return creationError("{\"resolution\":16,\"k0\":" + v + "}"); }},
        {"steps of advance", 1, "Invalid steps or endpoint.",
         [&](const std::string& v) { return engineError(engine, "{\"op\":\"advance\",\"steps\":" + v + "}"); }},
        {"resolution of configure", 32, test::invalidConfig,
         [&](const std::string& v) { return uiError(ui, "{\"op\":\"configure\",\"resolution\":" + v + "}"); }},
        {"k0 of configure", 4, test::invalidConfig,
         [&](const std::string& v) { return uiError(ui, "{\"op\":\"configure\",\"k0\":" + v + "}"); }},
        {"batch of benchmark", 8, test::invalidLimits,
         [&](const std::string& v) { return uiError(ui, "{\"op\":\"benchmark\",\"batch\":" + v + "}"); }},
    };
    for (const Key& key : keys) {
        SCOPED_TRACE(key.name);
        ASSERT_EQ(key.error(std::to_string(key.accepted)), "");
        for (const std::string& number : beyondInt(key.accepted)) EXPECT_EQ(key.error(number), key.message) << number;
    }
}

// The seed is the one key of 64 bits: every unsigned 64-bit integer is a seed, and nothing beyond.
TEST_F(IntegerKeys, SeedsHoldSixtyFourBits) {
    const test::UI ui;
    for (const char* seed : {"4294967298", "9223372036854775808", "18446744073709551615"}) {
        SCOPED_TRACE(seed);
        EXPECT_EQ(creationError(std::string("{\"resolution\":16,\"seed\":") + seed + "}"), "");
        const json report = json::parse(test::uiText(ui.get(), (std::string("{\"op\":\"configure\",\"seed\":") + seed + "}").c_str()));
        EXPECT_EQ(report["config"]["seed"], seed);
    }
    for (const char* seed : {"18446744073709551616", "-1", "-2147483649", "-9223372036854775808", "1e19", "4294967298.0"}) {
        SCOPED_TRACE(seed);
        EXPECT_EQ(creationError(std::string("{\"resolution\":16,\"seed\":") + seed + "}"), test::badSeed);
        EXPECT_EQ(uiError(ui, std::string("{\"op\":\"configure\",\"seed\":") + seed + "}"), test::badSeed);
    }
}

}  // namespace
