// UI requests on a handle that has not started its simulation: every operation works on the
// pending options, and what it left behind shows in the next report.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/deep_requests.hpp"
#include "support/messages.hpp"
#include "support/ui_fixture.hpp"

namespace {

using nlohmann::json;
using test::endsWith;
using test::errorOf;
using test::invalidCNAB2;
using test::invalidConfig;
using test::invalidLimits;
using test::UI;

struct Case {
    const char* name;
    std::vector<json> before;  // must all succeed
    json request;
    std::string error;                                 // empty: the request succeeds; the JSON library's messages are compared by their end
    std::vector<std::pair<const char*, json>> expect;  // JSON pointers into the next report, compared as text
};

json op(const char* name) { return {{"op", name}}; }

json with(json request, const json& keys) {
    request.update(keys);
    return request;
}

const json unregulated = {{"op", "set"}, {"regulated", false}};
const json cnab2Config = {{"op", "configure"}, {"integrator", "CNAB2"}};

const std::vector<Case> cases = {
    {"empty object", {}, json::object(), "Unknown UI operation.", {}},
    {"empty op", {}, op(""), "Unknown UI operation.", {}},
    {"op in capitals", {}, op("Get"), "Unknown UI operation.", {}},
    {"op null", {}, {{"op", nullptr}}, "type must be string, but is null", {}},
    {"op number", {}, {{"op", 3}}, "type must be string, but is number", {}},
    {"save", {}, op("save"), "Use the shared application Save dialog.", {}},
    {"export before start", {}, op("export"), "No completed frame.", {{"/exporting", false}}},
    {"get", {}, op("get"), "", {{"/generation", 0}, {"/ready", false}}},

    {"running defaults to pause", {}, op("running"), "", {{"/running", false}}},
    {"running true", {op("running")}, {{"op", "running"}, {"value", true}}, "", {{"/running", true}}},
    {"running null", {}, {{"op", "running"}, {"value", nullptr}}, "type must be boolean, but is null", {{"/running", true}}},
    {"toggle pauses", {}, op("toggle"), "", {{"/running", false}}},
    {"toggle resumes", {op("toggle")}, op("toggle"), "", {{"/running", true}}},
    {"step pauses", {}, op("step"), "", {{"/running", false}, {"/generation", 0}}},
    {"reset without a simulation", {}, op("reset"), "", {{"/generation", 0}}},
    {"visible", {}, {{"op", "visible"}, {"value", false}}, "", {}},
    {"visible mistyped", {}, {{"op", "visible"}, {"value", "no"}}, "type must be boolean, but is string", {}},
    {"dismiss", {}, op("dismiss"), "", {{"/error_message", nullptr}}},

    {"seed counts up", {}, op("seed"), "", {{"/config/seed", "3"}}},
    {"seed wraps at 2^64",
     {{{"op", "configure"}, {"seed", "18446744073709551615"}}},
     op("seed"),
     "",
     {{"/config/seed", "0"}}},
    {"CNAB2 seed", {with(cnab2Config, {{"seed", 7}})}, op("seed"), "", {{"/config/seed", "8"}}},
    {"CNAB2 seed wraps to 1", {with(cnab2Config, {{"seed", 5010}})}, op("seed"), "", {{"/config/seed", "1"}}},

    {"new grid takes its reference Reynolds number",
     {},
     {{"op", "configure"}, {"resolution", 512}},
     "",
     {{"/config/reynolds", 13323.199998292057}, {"/config/resolution", 512}}},
    {"new grid under regulation ignores the asked Reynolds number",
     {},
     {{"op", "configure"}, {"resolution", 2048}, {"reynolds", 20000}},
     "",
     {{"/config/reynolds", 58418.31046031878}}},
    {"new grid keeps a Reynolds number asked for without regulation",
     {unregulated},
     {{"op", "configure"}, {"resolution", 512}, {"reynolds", 20000}},
     "",
     {{"/config/reynolds", 20000.0}}},
    {"new grid without regulation carries an unchanged Reynolds number",
     {unregulated},
     {{"op", "configure"}, {"resolution", 512}},
     "",
     {{"/config/reynolds", 13323.199998292057}}},
    {"same grid keeps the asked Reynolds number",
     {},
     {{"op", "configure"}, {"reynolds", 20000}},
     "",
     {{"/config/reynolds", 20000.0}}},

    {"CNAB2 capped: stress operator, CFL at most 0.25",
     {},
     {{"op", "configure"}, {"integrator", "CNAB2"}, {"operator", "advective"}, {"cfl", 0.5}, {"cap_cfl", true}},
     "",
     {{"/config/operator", "stress"}, {"/config/cfl", 0.25}}},
    {"CNAB2 uncapped keeps its CFL", {}, with(cnab2Config, {{"cfl", 0.5}}), "", {{"/config/cfl", 0.5}}},
    {"CNAB2 uncapped keeps the operator asked for",
     {},
     with(cnab2Config, {{"operator", "advective"}}),
     invalidCNAB2,
     {{"/config/integrator", "etdrk4"}}},
    {"etdrk4 capped from CNAB2",
     {cnab2Config},
     {{"op", "configure"}, {"integrator", "etdrk4"}, {"cap_cfl", true}},
     "",
     {{"/config/cfl", 1.0}}},
    {"etdrk4 uncapped from CNAB2",
     {cnab2Config},
     {{"op", "configure"}, {"integrator", "etdrk4"}},
     "",
     {{"/config/cfl", 0.25}}},
    {"imexRK3 capped from above",
     {},
     {{"op", "configure"}, {"integrator", "imexRK3"}, {"cap_cfl", true}},
     "",
     {{"/config/cfl", 1.5}}},
    {"ifHeunRK3 capped from below",
     {},
     {{"op", "configure"}, {"integrator", "ifHeunRK3"}, {"cfl", 0.5}, {"cap_cfl", true}},
     "",
     {{"/config/cfl", 1.0}}},
    {"capping leaves an unchanged integrator alone",
     {},
     {{"op", "configure"}, {"cfl", 0.5}, {"cap_cfl", true}},
     "",
     {{"/config/cfl", 0.5}}},
    {"cap_cfl null", {}, {{"op", "configure"}, {"cap_cfl", nullptr}}, "type must be boolean, but is null", {}},
    {"configure out of range",
     {},
     {{"op", "configure"}, {"resolution", 15}},
     invalidConfig,
     {{"/config/resolution", 1024}}},
    {"configure k0 too large", {}, {{"op", "configure"}, {"k0", 1000001}}, test::wavenumberTooLarge, {}},
    {"configure integrator mistyped", {}, {{"op", "configure"}, {"integrator", 3}}, "type must be string, but is number", {}},

    {"CFL below the floor", {}, {{"op", "set"}, {"cfl", 0.5}}, "", {{"/config/cfl", 1.0}}},
    {"CFL above the ceiling", {}, {{"op", "set"}, {"cfl", 7}}, "", {{"/config/cfl", 3.0}}},
    {"CNAB2 CFL", {cnab2Config}, {{"op", "set"}, {"cfl", 0.5}}, "", {{"/config/cfl", 0.5}}},
    {"CNAB2 CFL floor", {cnab2Config}, {{"op", "set"}, {"cfl", 0.01}}, "", {{"/config/cfl", 0.05000000074505806}}},
    {"Reynolds number held while regulated",
     {},
     {{"op", "set"}, {"log_reynolds", 4}},
     "",
     {{"/config/reynolds", 27898.36614974335}, {"/regulated", true}}},
    {"regulation off first, then the Reynolds number",
     {},
     {{"op", "set"}, {"regulated", false}, {"log_reynolds", 7}},
     "",
     {{"/config/reynolds", 1000000.0}, {"/regulated", false}}},
    {"Reynolds number floor", {unregulated}, {{"op", "set"}, {"log_reynolds", 2}}, "", {{"/config/reynolds", 1000.0}}},
    {"a Reynolds number alone re-clamps the CFL",
     {{{"op", "configure"}, {"cfl", 0.5}}, unregulated},
     {{"op", "set"}, {"log_reynolds", 4}},
     "",
     {{"/config/cfl", 1.0}, {"/config/reynolds", 10000.0}}},
    {"exposure and sigma clamped",
     {},
     {{"op", "set"}, {"exposure", 5}, {"sigma", 1}},
     "",
     {{"/exposure", 3.0}, {"/sigma", 1.5}}},
    {"exposure and sigma clamped the other way",
     {},
     {{"op", "set"}, {"exposure", 0.1}, {"sigma", 9}},
     "",
     {{"/exposure", 0.25}, {"/sigma", 3.5}}},
    {"display settings",
     {},
     {{"op", "set"}, {"display", "speed"}, {"palette", "inferno"}, {"color_range", "exposure"}, {"flow", true}, {"focused", true}},
     "",
     {{"/display", "speed"}, {"/palette", "inferno"}, {"/color_range", "exposure"}, {"/flow", true}, {"/focused", true}}},
    {"nulls change nothing",
     {},
     {{"op", "set"}, {"regulated", nullptr}, {"cfl", nullptr}, {"display", nullptr}, {"flow", nullptr}, {"focused", nullptr}},
     "",
     {{"/regulated", true}, {"/config/cfl", 3.0}, {"/display", "vorticity"}, {"/flow", false}, {"/focused", false}}},
    {"unknown display after a CFL",
     {},
     {{"op", "set"}, {"cfl", 2}, {"display", "Speed"}},
     "Unknown display: Speed",
     {{"/config/cfl", 2.0}, {"/display", "vorticity"}}},
    {"display mistyped", {}, {{"op", "set"}, {"display", 1}}, "type must be string, but is number", {}},
    {"unknown palette", {}, {{"op", "set"}, {"palette", "Ember"}}, "Unknown palette: Ember", {}},
    {"display settings stored together",
     {},
     {{"op", "set"}, {"palette", "glacier"}, {"sigma", "2"}},
     "type must be number, but is string",
     {{"/palette", "ember"}, {"/sigma", 2.5}}},
    {"flow mistyped", {}, {{"op", "set"}, {"flow", 1}}, "type must be boolean, but is number", {}},
    {"regulated mistyped", {}, {{"op", "set"}, {"regulated", "no"}}, "type must be boolean, but is string", {{"/regulated", true}}},
    {"focused last", {}, {{"op", "set"}, {"exposure", 2}, {"focused", 1}}, "type must be boolean, but is number", {{"/exposure", 2.0}}},
    {"huge numbers clamp",
     {unregulated},
     {{"op", "set"}, {"cfl", 1e308}, {"log_reynolds", -1e308}, {"exposure", 1e308}},
     "",
     {{"/config/cfl", 3.0}, {"/config/reynolds", 1000.0}, {"/exposure", 3.0}}},

    {"benchmark limits", {}, {{"op", "benchmark"}, {"until", 2}, {"wall_seconds", 1}, {"batch", 32}}, "", {}},
    {"benchmark nulls", {}, {{"op", "benchmark"}, {"until", nullptr}, {"wall_seconds", nullptr}, {"batch", nullptr}}, "", {}},
    {"batch 0", {}, {{"op", "benchmark"}, {"batch", 0}}, invalidLimits, {}},
    {"batch 33", {}, {{"op", "benchmark"}, {"batch", 33}}, invalidLimits, {}},
    {"batch beyond int", {}, {{"op", "benchmark"}, {"batch", 4294967297u}}, invalidLimits, {}},
    {"batch far beyond int", {}, {{"op", "benchmark"}, {"batch", 1e300}}, invalidLimits, {}},
    {"batch mistyped", {}, {{"op", "benchmark"}, {"batch", true}}, "type must be number, but is boolean", {}},
    {"negative wall seconds", {}, {{"op", "benchmark"}, {"wall_seconds", -1}}, invalidLimits, {}},
    {"negative end time", {}, {{"op", "benchmark"}, {"until", -0.5}}, invalidLimits, {}},
    {"end time mistyped", {}, {{"op", "benchmark"}, {"until", "1"}}, "type must be number, but is string", {}},
    {"initial mistyped", {}, {{"op", "benchmark"}, {"initial", 5}}, "type must be string, but is number", {}},
};

class Requests : public test::UITest {};

TEST_F(Requests, Table) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UI ui;
        for (const json& request : c.before) ASSERT_EQ(errorOf(ui(request)), "") << request;
        const json reply = ui(c.request);
        const std::string error = errorOf(reply);
        if (c.error.empty()) {
            EXPECT_EQ(error, "");
        } else {
            EXPECT_TRUE(error == c.error || (c.error.rfind("type must be ", 0) == 0 && endsWith(error, c.error)))
                << error;
            EXPECT_EQ(reply.size(), 1u) << reply;
        }
        const json report = ui.report();
        for (const auto& [pointer, value] : c.expect)
            EXPECT_EQ(report[json::json_pointer(pointer)].dump(), value.dump()) << pointer;
    }
}

// Every successful request answers the whole report, the same one that "get" gives next.
TEST_F(Requests, RepliesAreTheReport) {
    UI ui;
    const std::string set = test::uiText(ui.get(), R"({"op":"set","palette":"aurora"})");
    EXPECT_EQ(set, test::uiText(ui.get(), R"({"op":"get"})"));
    EXPECT_EQ(json::parse(set)["palette"], "aurora");
}

TEST_F(Requests, TextThatIsNoRequest) {
    UI ui;
    ui({{"op", "set"}, {"palette", "glacier"}});
    const std::string before = test::uiText(ui.get(), R"({"op":"get"})");
    const struct {
        const char* text;
        std::string error;
    } cases[] = {
        {nullptr, test::noObject},
        {"[]", test::noObject},
        {"null", test::noObject},
        {"\"get\"", test::noObject},
        {"", test::parseMessage("")},
        {"{\"op\":", test::parseMessage("{\"op\":")},
        {"{\"op\":\"get\"} {}", test::parseMessage("{\"op\":\"get\"} {}")},
        {"{\"op\":\"set\",\"cfl\":1e999}", test::parseMessage("{\"op\":\"set\",\"cfl\":1e999}")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(test::uiText(ui.get(), c.text), json({{"error", c.error}}).dump()) << (c.text ? c.text : "null");
        EXPECT_EQ(test::uiText(ui.get(), R"({"op":"get"})"), before);
    }
}

// Bytes that are not UTF-8 are refused by the parser, whose message quotes them; the reply is
// still valid JSON text and the handle keeps its state.
TEST_F(Requests, TextThatIsNotUtf8) {
    UI ui;
    const std::string before = test::uiText(ui.get(), R"({"op":"get"})");
    for (const char* text : {"{\"op\":\"\xff\"}", "{\"op\":\"set\",\"palette\":\"\xc3\"}", "{\"op\xe2\x82\":1}"}) {
        const json reply = json::parse(test::uiText(ui.get(), text));
        EXPECT_EQ(reply.size(), 1u) << reply;
        EXPECT_EQ(errorOf(reply).rfind("[json.exception.parse_error.101]", 0), 0u) << reply;
        EXPECT_EQ(test::uiText(ui.get(), R"({"op":"get"})"), before);
    }
}

// No request is copied or walked recursively: each key an operation reads, and one that none
// reads, nested 100,000 levels deep, is answered on a thread whose stack could not hold one frame
// per level. Initialising the library there makes that thread the UI main thread for a while.
TEST_F(Requests, DeeplyNestedKeysAreAnsweredOnASmallStack) {
    struct Case {
        const char* request;  // up to the nested value
        const char* error;    // the end of the error, or "" for a reply without one
    };
    const Case cases[] = {
        {R"({"op":)", "type must be string, but is array"},
        {R"({"op":"get","unread":)", ""},
        {R"({"op":"running","value":)", "type must be boolean, but is array"},
        {R"({"op":"visible","value":)", "type must be boolean, but is array"},
        {R"({"op":"configure","unread":)", ""},
        {R"({"op":"configure","cap_cfl":)", "type must be boolean, but is array"},
        {R"({"op":"configure","resolution":)", "type must be number, but is array"},
        {R"({"op":"configure","seed":)", test::badSeed.c_str()},
        {R"({"op":"configure","integrator":)", "type must be string, but is array"},
        {R"({"op":"configure","cap_cfl":true,"integrator":"CNAB2","operator":)", ""},
        {R"({"op":"set","regulated":)", "type must be boolean, but is array"},
        {R"({"op":"set","log_reynolds":)", "type must be number, but is array"},
        {R"({"op":"set","palette":)", "type must be string, but is array"},
        {R"({"op":"set","focused":)", "type must be boolean, but is array"},
        {R"({"op":"benchmark","batch":)", "type must be number, but is array"},
        {R"({"op":"benchmark","spectrum":)", "type must be string, but is array"},
        {R"({"op":"export","fields":)", "No completed frame."},
    };
    const std::string nested = test::nestedArrays(test::deepNesting);
    test::onSmallStack(test::smallStack, [&] {
        EXPECT_EQ(json::parse(test::taken(qm_initialize(resources))).value("abi_version", 0), 1);
        UI ui;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.request);
            const std::string request = c.request + nested + "}";
            const std::string error = errorOf(json::parse(test::uiText(ui.get(), request.c_str())));
            if (*c.error == '\0')
                EXPECT_EQ(error, "");
            else
                EXPECT_TRUE(endsWith(error, c.error)) << error;
        }
    });
    EXPECT_EQ(json::parse(test::taken(qm_initialize(resources))).value("abi_version", 0), 1);
}

TEST_F(Requests, Attach) {
    UI ui;
    EXPECT_EQ(ui.attach(0).dump(), R"({"error":"Invalid X11 parent window."})");
    EXPECT_FALSE(ui.report().contains("canvas"));
    EXPECT_EQ(ui.attach(3).dump(), "{}");
    EXPECT_EQ(ui.attach(3).dump(), R"({"error":"Canvas is already attached."})");
    EXPECT_EQ(ui.attach(0).dump(), R"({"error":"Canvas is already attached."})");
}

}  // namespace
