// The request readers and report objects of the JSON boundary: what each reader accepts and the
// exact failure it raises otherwise, the configuration overlay on a base, and the reports as text.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "bridge/json/readers.hpp"
#include "support/deep_requests.hpp"
#include "support/messages.hpp"

namespace mirel {

bool operator==(const Config& a, const Config& b) {
    const auto fields = [](const Config& c) {
        return std::make_tuple(c.resolution, c.k0, c.seed, c.reynolds, c.cfl, c.fixedDt, c.method, c.form,
                               c.startSpectrum);
    };
    return fields(a) == fields(b);
}

std::ostream& operator<<(std::ostream& out, const Config& c) {
    return out << configReport(c).dump();
}

}  // namespace mirel

namespace {

using mirel::Config;
using nlohmann::json;
using test::badSeed;
using test::fixedDtNotPositive;
using test::invalidCNAB2;
using test::invalidConfig;
using test::noObject;
using test::wavenumberTooLarge;

// What a call threw: the exception family and its text.
struct Outcome {
    std::string kind;
    std::string what;
};

template <typename Call>
Outcome outcome(Call&& call) {
    try {
        call();
        return {"none", ""};
    } catch (const json::parse_error& e) {
        return {"parse_error", e.what()};
    } catch (const json::type_error& e) {
        return {"type_error", e.what()};
    } catch (const json::exception& e) {
        return {"json", e.what()};
    } catch (const std::invalid_argument& e) {
        return {"invalid_argument", e.what()};
    } catch (const std::out_of_range& e) {
        return {"out_of_range", e.what()};
    } catch (const std::exception& e) {
        return {"exception", e.what()};
    }
}

// The expected failure; the JSON library's own messages are matched by their ending only.
struct Expected {
    const char* kind;
    std::string text;
    bool ending = false;
};

void expectFailure(const Outcome& got, const Expected& want) {
    EXPECT_EQ(got.kind, want.kind) << got.what;
    if (want.ending) {
        const std::size_t start = got.what.size() >= want.text.size() ? got.what.size() - want.text.size() : 0;
        EXPECT_EQ(got.what.substr(start), want.text);
    } else if (!want.text.empty()) {
        EXPECT_EQ(got.what, want.text);
    }
}

Expected wrongType(const char* expected, const char* actual) {
    return {"type_error", std::string("type must be ") + expected + ", but is " + actual, true};
}

Expected invalid(const std::string& text) { return {"invalid_argument", text}; }

TEST(Decode, AcceptsOnlyOneObject) {
    struct Case {
        const char* text;
        Expected failure;
    };
    const Case cases[] = {
        {nullptr, invalid(noObject)},
        {"[]", invalid(noObject)},
        {"3", invalid(noObject)},
        {"\"text\"", invalid(noObject)},
        {"null", invalid(noObject)},
        {"true", invalid(noObject)},
        {"{} x", {"parse_error", ""}},
        {"{}{}", {"parse_error", ""}},
        {"{} // note", {"parse_error", ""}},
        {"{\"a\":1,}", {"parse_error", ""}},
        {"", {"parse_error", ""}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.text ? test.text : "null pointer");
        expectFailure(outcome([&] { mirel::decode(test.text); }), test.failure);
    }
    EXPECT_EQ(mirel::decode("{}"), json::object());
    EXPECT_EQ(mirel::decode(" \n{\"a\": [1, null]}\t\r\n"), json({{"a", {1, nullptr}}}));
}

TEST(Readers, HasCountsPresentNonNullKeysOfObjects) {
    struct Case {
        json value;
        bool present;
    };
    const Case cases[] = {
        {json::object(), false},
        {{{"key", nullptr}}, false},
        {{{"key", 0}}, true},
        {{{"key", false}}, true},
        {{{"key", ""}}, true},
        {{{"key", json::array()}}, true},
        {{{"other", 1}}, false},
        {json::array({"key"}), false},
        {"key", false},
        {nullptr, false},
    };
    for (const Case& test : cases) EXPECT_EQ(mirel::has(test.value, "key"), test.present) << test.value.dump();
}

TEST(Readers, ScalarReadsFiniteNumbers) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        json value;
        double fallback;
        double result;
    };
    const Case cases[] = {
        {{{"x", 2}}, 7.0, 2.0},
        {{{"x", -3}}, 7.0, -3.0},
        {{{"x", 0.1}}, 7.0, 0.1},
        {{{"x", std::numeric_limits<std::uint64_t>::max()}}, 7.0, 18446744073709551616.0},
        {{{"x", std::numeric_limits<double>::max()}}, 7.0, std::numeric_limits<double>::max()},
        {{{"x", nullptr}}, 7.0, 7.0},
        {json::object(), 7.0, 7.0},
        {json::array({1}), 7.0, 7.0},
        {{{"x", 1.0}}, inf, 1.0},
    };
    for (const Case& test : cases) EXPECT_EQ(mirel::scalar(test.value, "x", test.fallback), test.result) << test.value.dump();

    struct Failure {
        json value;
        double fallback;
        Expected failure;
    };
    const Failure failures[] = {
        {{{"x", "1"}}, 0.0, wrongType("number", "string")},
        {{{"x", true}}, 0.0, wrongType("number", "boolean")},
        {{{"x", json::array({1})}}, 0.0, wrongType("number", "array")},
        {{{"x", json::object()}}, 0.0, wrongType("number", "object")},
        {{{"x", inf}}, 0.0, invalid("Non-finite x")},
        {{{"x", -inf}}, 0.0, invalid("Non-finite x")},
        {{{"x", nan}}, 0.0, invalid("Non-finite x")},
        {json::object(), inf, invalid("Non-finite x")},
        {{{"x", nullptr}}, nan, invalid("Non-finite x")},
    };
    for (const Failure& test : failures) {
        SCOPED_TRACE(test.value.dump());
        expectFailure(outcome([&] { mirel::scalar(test.value, "x", test.fallback); }), test.failure);
    }
}

TEST(Readers, ChoiceMatchesWholeNamesInOrder) {
    const char* const names[] = {"alpha", "beta", "alpha"};
    struct Case {
        json value;
        int result;
    };
    const Case cases[] = {
        {{{"kind", "alpha"}}, 0},
        {{{"kind", "beta"}}, 1},
        {{{"kind", nullptr}}, 5},
        {json::object(), 5},
    };
    for (const Case& test : cases) EXPECT_EQ(mirel::choice(test.value, "kind", names, 5), test.result) << test.value.dump();

    struct Failure {
        json value;
        Expected failure;
    };
    const Failure failures[] = {
        {{{"kind", 3}}, wrongType("string", "number")},
        {{{"kind", false}}, wrongType("string", "boolean")},
        {{{"kind", json::array()}}, wrongType("string", "array")},
        {{{"kind", "Beta"}}, invalid("Unknown kind: Beta")},
        {{{"kind", "bet"}}, invalid("Unknown kind: bet")},
        {{{"kind", "beta "}}, invalid("Unknown kind: beta ")},
        {{{"kind", ""}}, invalid("Unknown kind: ")},
    };
    for (const Failure& test : failures) {
        SCOPED_TRACE(test.value.dump());
        expectFailure(outcome([&] { mirel::choice(test.value, "kind", names, 5); }), test.failure);
    }
}

TEST(Readers, IntegerTruncatesOnlyWhatFitsTheIntRange) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        json value;
        std::optional<std::int32_t> result;
    };
    const Case cases[] = {
        {16, 16},
        {-16, -16},
        {2147483647u, 2147483647},
        {-2147483648ll, std::numeric_limits<std::int32_t>::min()},
        {2147483648u, std::nullopt},
        {-2147483649ll, std::nullopt},
        {4294967344ull, std::nullopt},
        {-4294967248ll, std::nullopt},
        {std::numeric_limits<std::uint64_t>::max(), std::nullopt},
        {std::numeric_limits<std::int64_t>::min(), std::nullopt},
        {true, 1},
        {false, 0},
        {2.7, 2},
        {-2.7, -2},
        {-0.5, 0},
        {2147483647.9, 2147483647},
        {-2147483648.9, std::numeric_limits<std::int32_t>::min()},
        {2147483648.0, std::nullopt},
        {-2147483649.0, std::nullopt},
        {3e9, std::nullopt},
        {1e19, std::nullopt},
        {-1e19, std::nullopt},
        {inf, std::nullopt},
        {nan, std::nullopt},
    };
    for (const Case& test : cases) EXPECT_EQ(mirel::integer(test.value), test.result) << test.value.dump();

    struct Failure {
        json value;
        Expected failure;
    };
    const Failure failures[] = {
        {nullptr, wrongType("number", "null")},
        {"16", wrongType("number", "string")},
        {json::array({16}), wrongType("number", "array")},
        {json::object(), wrongType("number", "object")},
    };
    for (const Failure& test : failures) {
        SCOPED_TRACE(test.value.dump());
        expectFailure(outcome([&] { mirel::integer(test.value); }), test.failure);
    }
}

TEST(Readers, PathKeepsTheTextAsGiven) {
    EXPECT_TRUE(mirel::path(json::object(), "file").empty());
    EXPECT_TRUE(mirel::path({{"file", nullptr}}, "file").empty());
    for (const char* text : {"out.bin", "./a//b/../c ", "~/x", "/no/such/folder/f"})
        EXPECT_EQ(mirel::path({{"file", text}}, "file").native(), text);
    expectFailure(outcome([] { mirel::path({{"file", 1}}, "file"); }), wrongType("string", "number"));
}

Config cnab2Base() {
    Config c;
    c.method = mirel::CNAB2;
    c.cfl = 0.2f;
    return c;
}

Config fixedBase() {
    Config c;
    c.fixedDt = 0.01f;
    return c;
}

TEST(Configuration, OverlaysTheRequestOnTheBase) {
    struct Case {
        const char* request;
        Config base;
        void (*edit)(Config&);
    };
    const Case cases[] = {
        {"{}", Config{}, [](Config&) {}},
        {"{\"unused\":1,\"padded_resolution\":7}", Config{}, [](Config&) {}},
        {"{\"resolution\":16,\"k0\":1}", Config{}, [](Config& c) { c.resolution = 16; c.k0 = 1; }},
        {"{\"resolution\":1024.9}", Config{}, [](Config& c) { c.resolution = 1024; }},
        {"{\"resolution\":null,\"k0\":null}", Config{}, [](Config&) {}},
        {"{\"k0\":1000000}", Config{}, [](Config& c) { c.k0 = 1000000; }},
        {"{\"seed\":\"18446744073709551615\"}", Config{}, [](Config& c) { c.seed = 18446744073709551615ull; }},
        {"{\"seed\":18446744073709551615}", Config{}, [](Config& c) { c.seed = 18446744073709551615ull; }},
        {"{\"seed\":\"0005\"}", Config{}, [](Config& c) { c.seed = 5; }},
        {"{\"seed\":42}", Config{}, [](Config& c) { c.seed = 42; }},
        {"{\"seed\":0}", Config{}, [](Config& c) { c.seed = 0; }},
        {"{\"reynolds\":1000,\"cfl\":0.1}", Config{}, [](Config& c) { c.reynolds = 1000.0; c.cfl = 0.1f; }},
        {"{\"integrator\":null}", Config{}, [](Config&) {}},
        {"{\"integrator\":\"imexRK3\",\"operator\":\"advective\",\"start_spectrum\":\"KM3\"}", Config{},
         [](Config& c) { c.method = 0; c.form = 1; c.startSpectrum = 1; }},
        {"{\"integrator\":\"ifHeunRK3\"}", Config{}, [](Config& c) { c.method = 1; }},
        // CNAB2 chosen over another integrator runs at CFL 0.25 unless the request sets one.
        {"{\"integrator\":\"CNAB2\"}", Config{}, [](Config& c) { c.method = 3; c.cfl = 0.25f; }},
        {"{\"integrator\":\"CNAB2\",\"cfl\":null}", Config{}, [](Config& c) { c.method = 3; c.cfl = 0.25f; }},
        {"{\"integrator\":\"CNAB2\",\"cfl\":0.5}", Config{}, [](Config& c) { c.method = 3; c.cfl = 0.5f; }},
        {"{\"integrator\":\"CNAB2\",\"cfl\":3}", Config{}, [](Config& c) { c.method = 3; c.cfl = 3.0f; }},
        {"{\"integrator\":\"CNAB2\",\"seed\":1}", Config{}, [](Config& c) { c.method = 3; c.cfl = 0.25f; c.seed = 1; }},
        {"{\"integrator\":\"CNAB2\",\"seed\":\"5010\",\"resolution\":16}", Config{},
         [](Config& c) { c.method = 3; c.cfl = 0.25f; c.seed = 5010; c.resolution = 16; }},
        {"{\"integrator\":\"CNAB2\",\"start_spectrum\":\"KM3\"}", Config{},
         [](Config& c) { c.method = 3; c.cfl = 0.25f; c.startSpectrum = 1; }},
        {"{\"integrator\":\"CNAB2\",\"reynolds\":1e38}", Config{},
         [](Config& c) { c.method = 3; c.cfl = 0.25f; c.reynolds = 1e38; }},
        {"{\"integrator\":\"CNAB2\"}", cnab2Base(), [](Config&) {}},
        {"{}", cnab2Base(), [](Config&) {}},
        {"{\"integrator\":\"etdrk4\"}", cnab2Base(), [](Config& c) { c.method = 2; }},
        {"{\"cfl\":0.75}", cnab2Base(), [](Config& c) { c.cfl = 0.75f; }},
        {"{}", fixedBase(), [](Config&) {}},
        {"{\"fixed_dt\":null}", fixedBase(), [](Config& c) { c.fixedDt = 0.0f; }},
        {"{\"fixed_dt\":0.002}", fixedBase(), [](Config& c) { c.fixedDt = 0.002f; }},
        {"{\"fixed_dt\":1e-40}", Config{}, [](Config& c) { c.fixedDt = 1e-40f; }},
        {"{\"fixed_dt\":2}", Config{}, [](Config& c) { c.fixedDt = 2.0f; }},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.request);
        Config expected = test.base;
        test.edit(expected);
        EXPECT_EQ(mirel::configuration(mirel::decode(test.request), test.base), expected);
    }
}

TEST(Configuration, ReportsTheFirstFailingKey) {
    struct Case {
        const char* request;
        Expected failure;
    };
    const Case cases[] = {
        {"{\"resolution\":\"16\"}", wrongType("number", "string")},
        {"{\"resolution\":[16]}", wrongType("number", "array")},
        {"{\"resolution\":true}", invalid(invalidConfig)},
        {"{\"resolution\":14}", invalid(invalidConfig)},
        {"{\"resolution\":16386}", invalid(invalidConfig)},
        {"{\"resolution\":17}", invalid(invalidConfig)},
        {"{\"k0\":{}}", wrongType("number", "object")},
        {"{\"k0\":0}", invalid(invalidConfig)},
        {"{\"k0\":1000001}", invalid(wavenumberTooLarge)},
        {"{\"k0\":1000001,\"resolution\":14}", invalid(invalidConfig)},
        // Beyond the int range a number is no resolution or k0 at all; later keys still come first.
        {"{\"resolution\":1e19}", invalid(invalidConfig)},
        {"{\"resolution\":-3e9}", invalid(invalidConfig)},
        {"{\"resolution\":4294967312.0}", invalid(invalidConfig)},
        {"{\"resolution\":4294967344}", invalid(invalidConfig)},
        {"{\"resolution\":-4294967248}", invalid(invalidConfig)},
        {"{\"k0\":4294967300}", invalid(invalidConfig)},
        {"{\"k0\":3e9}", invalid(invalidConfig)},
        {"{\"k0\":-1e19}", invalid(invalidConfig)},
        {"{\"resolution\":1e19,\"seed\":\"x\"}", invalid(badSeed)},
        {"{\"seed\":\"18446744073709551616\"}", {"out_of_range", "stoull"}},
        {"{\"seed\":\"99999999999999999999\"}", {"out_of_range", "stoull"}},
        {"{\"seed\":18446744073709551616}", invalid(badSeed)},
        {"{\"seed\":\" 5\"}", invalid(badSeed)},
        {"{\"seed\":\"5 \"}", invalid(badSeed)},
        {"{\"seed\":\"+5\"}", invalid(badSeed)},
        {"{\"seed\":\"\"}", invalid(badSeed)},
        {"{\"seed\":\"0x5\"}", invalid(badSeed)},
        {"{\"seed\":-5}", invalid(badSeed)},
        {"{\"seed\":4.0}", invalid(badSeed)},
        {"{\"seed\":true}", invalid(badSeed)},
        {"{\"seed\":[5]}", invalid(badSeed)},
        {"{\"seed\":\"x\",\"resolution\":\"x\"}", wrongType("number", "string")},
        {"{\"reynolds\":\"1000\"}", wrongType("number", "string")},
        {"{\"reynolds\":0}", invalid(invalidConfig)},
        {"{\"reynolds\":-1}", invalid(invalidConfig)},
        {"{\"reynolds\":1e-300}", invalid(invalidConfig)},
        {"{\"reynolds\":\"x\",\"seed\":\"x\"}", invalid(badSeed)},
        {"{\"cfl\":0}", invalid(invalidConfig)},
        {"{\"cfl\":-0.5}", invalid(invalidConfig)},
        {"{\"cfl\":1e39}", invalid(invalidConfig)},
        {"{\"cfl\":\"x\",\"integrator\":\"rk4\"}", wrongType("number", "string")},
        {"{\"integrator\":3}", wrongType("string", "number")},
        {"{\"integrator\":\"cnab2\"}", invalid("Unknown integrator: cnab2")},
        {"{\"integrator\":\"rk4\"}", invalid("Unknown integrator: rk4")},
        {"{\"integrator\":\"\"}", invalid("Unknown integrator: ")},
        {"{\"integrator\":\"rk4\",\"operator\":\"x\"}", invalid("Unknown integrator: rk4")},
        {"{\"operator\":\"Stress\"}", invalid("Unknown operator: Stress")},
        {"{\"operator\":1}", wrongType("string", "number")},
        {"{\"start_spectrum\":true}", wrongType("string", "boolean")},
        {"{\"start_spectrum\":\"pao\"}", invalid("Unknown start_spectrum: pao")},
        {"{\"start_spectrum\":\"x\",\"fixed_dt\":0}", invalid("Unknown start_spectrum: x")},
        {"{\"fixed_dt\":0}", invalid(fixedDtNotPositive)},
        {"{\"fixed_dt\":-0.1}", invalid(fixedDtNotPositive)},
        {"{\"fixed_dt\":1e-50}", invalid(fixedDtNotPositive)},
        {"{\"fixed_dt\":\"0.1\"}", wrongType("number", "string")},
        {"{\"fixed_dt\":false}", wrongType("number", "boolean")},
        {"{\"fixed_dt\":1e39}", invalid(invalidConfig)},
        {"{\"fixed_dt\":0,\"resolution\":14}", invalid(fixedDtNotPositive)},
        {"{\"integrator\":\"CNAB2\",\"resolution\":48}", invalid(invalidCNAB2)},
        {"{\"integrator\":\"CNAB2\",\"operator\":\"advective\"}", invalid(invalidCNAB2)},
        {"{\"integrator\":\"CNAB2\",\"seed\":0}", invalid(invalidCNAB2)},
        {"{\"integrator\":\"CNAB2\",\"seed\":5011}", invalid(invalidCNAB2)},
        {"{\"integrator\":\"CNAB2\",\"reynolds\":1e39}", invalid(invalidCNAB2)},
        {"{\"integrator\":\"CNAB2\",\"resolution\":48,\"k0\":0}", invalid(invalidConfig)},
        {"{\"integrator\":\"CNAB2\",\"k0\":1000001}", invalid(wavenumberTooLarge)},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.request);
        expectFailure(outcome([&] { mirel::configuration(mirel::decode(test.request), Config{}); }), test.failure);
    }
}

// No reader walks a request value recursively: each key nested 100,000 levels deep is refused
// with its own message on a thread whose stack could not hold one frame per level.
TEST(Configuration, DeeplyNestedValuesAreRefusedOnASmallStack) {
    struct Case {
        const char* key;
        const char* expected;  // the type the key must have; null for the seed's own message
    };
    const Case cases[] = {
        {"resolution", "number"},
        {"k0", "number"},
        {"seed", nullptr},
        {"reynolds", "number"},
        {"cfl", "number"},
        {"integrator", "string"},
        {"operator", "string"},
        {"start_spectrum", "string"},
        {"fixed_dt", "number"},
    };
    const struct {
        const char* kind;
        std::string text;
    } nestings[] = {{"array", test::nestedArrays(test::deepNesting)}, {"object", test::nestedObjects(test::deepNesting)}};
    for (const auto& nesting : nestings) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.key) + " holding nested " + nesting.kind + "s");
            const std::string request = std::string("{\"") + c.key + "\":" + nesting.text + "}";
            const Expected failure = c.expected != nullptr ? wrongType(c.expected, nesting.kind) : invalid(badSeed);
            test::onSmallStack(test::smallStack, [&] {
                expectFailure(outcome([&] { mirel::configuration(mirel::decode(request.c_str()), Config{}); }), failure);
            });
        }
    }
}

TEST(Configuration, InfiniteValuesAreNonFinite) {
    const double inf = std::numeric_limits<double>::infinity();
    for (const char* key : {"reynolds", "cfl", "fixed_dt"}) {
        SCOPED_TRACE(key);
        expectFailure(outcome([&] { mirel::configuration({{key, inf}}, Config{}); }),
                      invalid(std::string("Non-finite ") + key));
    }
}

// The JSON library refuses number text beyond the double range while it parses, so such a
// request fails with the library's own message before any reader sees the key.
TEST(Configuration, OverflowingNumberTextIsRefusedByTheParser) {
    for (const char* key : {"reynolds", "cfl", "fixed_dt"}) {
        SCOPED_TRACE(key);
        const std::string request = std::string("{\"") + key + "\":1e999}";
        try {
            mirel::decode(request.c_str());
            ADD_FAILURE() << "parsed";
        } catch (const nlohmann::json::out_of_range& error) {
            EXPECT_STREQ(error.what(), "[json.exception.out_of_range.406] number overflow parsing '1e999'");
        }
    }
}

TEST(Configuration, ReadsItsOwnReportBack) {
    std::vector<Config> configs;
    const auto vary = [&](void (*edit)(Config&)) {
        Config c;
        edit(c);
        configs.push_back(c);
    };
    vary([](Config&) {});
    vary([](Config& c) { c.resolution = 16; });
    vary([](Config& c) { c.resolution = 18; });
    vary([](Config& c) { c.resolution = 16384; });
    vary([](Config& c) { c.k0 = 1; });
    vary([](Config& c) { c.k0 = 1000000; });
    vary([](Config& c) { c.seed = 0; });
    vary([](Config& c) { c.seed = 18446744073709551615ull; });
    vary([](Config& c) { c.seed = 9007199254740993ull; });
    vary([](Config& c) { c.reynolds = 0.1; });
    vary([](Config& c) { c.reynolds = 1e-38; });
    vary([](Config& c) { c.reynolds = 1e300; });
    vary([](Config& c) { c.reynolds = 12345.678901234567; });
    vary([](Config& c) { c.cfl = 0.1f; });
    vary([](Config& c) { c.cfl = 1e-30f; });
    vary([](Config& c) { c.cfl = 3e38f; });
    vary([](Config& c) { c.fixedDt = 0.001f; });
    vary([](Config& c) { c.fixedDt = 1e-40f; });
    vary([](Config& c) { c.fixedDt = 1e38f; });
    vary([](Config& c) { c.method = 0; c.form = 1; });
    vary([](Config& c) { c.method = 1; c.startSpectrum = 1; });
    vary([](Config& c) { c.method = 3; c.cfl = 0.25f; c.seed = 1; });
    vary([](Config& c) { c.method = 3; c.cfl = 3.0f; c.seed = 5010; c.resolution = 16; c.startSpectrum = 1; });
    vary([](Config& c) { c.method = 3; c.cfl = 0.7f; c.resolution = 16384; c.fixedDt = 0.125f; c.reynolds = 1e38; });
    const Config bases[] = {Config{}, cnab2Base(), fixedBase()};
    for (const Config& c : configs) {
        SCOPED_TRACE(testing::Message() << c);
        ASSERT_NO_THROW(mirel::validate(c));
        const std::string text = mirel::configReport(c).dump();
        for (const Config& base : bases) EXPECT_EQ(mirel::configuration(mirel::decode(text.c_str()), base), c);
    }
}

TEST(Reports, ConfigReportAsText) {
    EXPECT_EQ(mirel::configReport(Config{}).dump(),
              "{\"cfl\":3.0,\"fixed_dt\":null,\"integrator\":\"etdrk4\",\"k0\":4,\"operator\":\"stress\","
              "\"padded_resolution\":1536,\"resolution\":1024,\"reynolds\":27898.36614974335,\"seed\":\"2\","
              "\"start_spectrum\":\"PAO\",\"viscosity\":3.5844394005835056e-05}");
    Config c;
    c.resolution = 18;
    c.k0 = 7;
    c.seed = 18446744073709551615ull;
    c.reynolds = 1000.0;
    c.cfl = 0.1f;
    c.fixedDt = 0.001f;
    c.method = 0;
    c.form = 1;
    c.startSpectrum = 1;
    EXPECT_EQ(mirel::configReport(c).dump(),
              "{\"cfl\":0.10000000149011612,\"fixed_dt\":0.0010000000474974513,\"integrator\":\"imexRK3\",\"k0\":7,"
              "\"operator\":\"advective\",\"padded_resolution\":27,\"resolution\":18,\"reynolds\":1000.0,"
              "\"seed\":\"18446744073709551615\",\"start_spectrum\":\"KM3\",\"viscosity\":0.0010000000474974513}");
    c.method = 1;
    EXPECT_EQ(mirel::configReport(c)["integrator"], "ifHeunRK3");
    c.method = 3;
    EXPECT_EQ(mirel::configReport(c)["integrator"], "CNAB2");
}

mirel::Statistics sampleStatistics() {
    mirel::Statistics s;
    s.steps = 18446744073709551615ull;
    s.simulationTime = 0.5;
    s.energy = 0.25;
    s.enstrophy = 2.0;
    s.palinstrophy = 8.0;
    s.palinstrophyRatio = 1.5;
    s.reynolds = 2000.0;
    s.initialTurnoverTime = 3.0;
    s.gpuMilliseconds = 0.125;
    s.dt = 0.1f;
    s.allocatedBytes = 32808;
    s.fftBytes = 99;
    return s;
}

TEST(Reports, StatsReportAsText) {
    EXPECT_EQ(mirel::statsReport(sampleStatistics()).dump(),
              "{\"allocated_bytes\":32808,\"dt\":0.10000000149011612,\"energy\":0.25,\"enstrophy\":2.0,"
              "\"gpu_milliseconds\":0.125,\"initial_turnover_time\":3.0,\"is_finite\":true,\"palinstrophy\":8.0,"
              "\"palinstrophy_ratio\":1.5,\"reynolds\":2000.0,\"simulation_time\":0.5,"
              "\"steps\":18446744073709551615}");
}

TEST(Reports, StatsReportFlagsNonFiniteValues) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* key;
        double mirel::Statistics::*field;
        double value;
        bool finite;
    };
    const Case cases[] = {
        {"simulation_time", &mirel::Statistics::simulationTime, inf, false},
        {"energy", &mirel::Statistics::energy, nan, false},
        {"enstrophy", &mirel::Statistics::enstrophy, -inf, false},
        {"palinstrophy", &mirel::Statistics::palinstrophy, nan, false},
        {"palinstrophy_ratio", &mirel::Statistics::palinstrophyRatio, nan, true},
        {"reynolds", &mirel::Statistics::reynolds, inf, true},
        {"initial_turnover_time", &mirel::Statistics::initialTurnoverTime, nan, true},
        {"gpu_milliseconds", &mirel::Statistics::gpuMilliseconds, nan, true},
        {"energy", &mirel::Statistics::energy, std::numeric_limits<double>::max(), true},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.key);
        mirel::Statistics s = sampleStatistics();
        s.*test.field = test.value;
        const json report = json::parse(mirel::statsReport(s).dump());
        EXPECT_EQ(report.at("is_finite"), test.finite);
        if (std::isfinite(test.value))
            EXPECT_EQ(report.at(test.key), test.value);
        else
            EXPECT_TRUE(report.at(test.key).is_null());
    }
    mirel::Statistics s = sampleStatistics();
    s.dt = std::numeric_limits<float>::quiet_NaN();
    const json report = json::parse(mirel::statsReport(s).dump());
    EXPECT_TRUE(report.at("dt").is_null());
    EXPECT_EQ(report.at("is_finite"), true);
}

}  // namespace
