#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/engine_fixture.hpp"
#include "support/temp_folder.hpp"
#include "support/ui_fixture.hpp"

// Statements of the host's protocol page that its examples do not show, each checked through the
// C interface: how numbers are written, which keys a request reads and when, which values are
// truncated or refused, and where the regulator starts on a small grid.
namespace {

using nlohmann::json;

// Every floating number of a reply's text as it was written, with the value it reads as.
class FloatTexts : public json::json_sax_t {
public:
    struct Number {
        double value;
        std::string text;
    };
    std::vector<Number> numbers;

    bool number_float(json::number_float_t value, const json::string_t& text) override {
        numbers.push_back({value, text});
        return true;
    }
    bool number_integer(json::number_integer_t) override { return true; }
    bool number_unsigned(json::number_unsigned_t) override { return true; }
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool string(json::string_t&) override { return true; }
    bool binary(json::binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(json::string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t, const std::string&, const json::exception&) override { return false; }
};

std::vector<FloatTexts::Number> floatsOf(const std::string& reply) {
    FloatTexts reader;
    EXPECT_TRUE(json::sax_parse(reply, &reader)) << reply;
    return reader.numbers;
}

// The page's rule: decimal notation with a fractional part from 1e-4 up to 1e15, exponent
// notation with a signed exponent of two digits or more elsewhere (zero aside).
void expectWrittenByTheRule(const std::string& reply) {
    for (const FloatTexts::Number& number : floatsOf(reply)) {
        SCOPED_TRACE(number.text);
        const double magnitude = std::fabs(number.value);
        const std::size_t e = number.text.find('e');
        if (magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e15)) {
            EXPECT_EQ(e, std::string::npos);
            EXPECT_NE(number.text.find('.'), std::string::npos);
        } else {
            ASSERT_NE(e, std::string::npos);
            EXPECT_TRUE(number.text[e + 1] == '+' || number.text[e + 1] == '-');
            EXPECT_GE(number.text.size() - e - 2, 2u);
            EXPECT_EQ(number.text.find(".0e"), std::string::npos);
        }
    }
}

class ProtocolStatements : public test::UITest {
protected:
    std::string file(const char* name) const { return (folder / name).string(); }

    const test::TempFolder folder{"quellmar-statements"};
};

TEST_F(ProtocolStatements, NumbersAreWrittenAsThePageSays) {
    const test::UI ui;
    const std::string report = test::uiText(ui.get(), R"({"op":"configure","reynolds":1e39})");
    EXPECT_NE(report.find("\"reynolds\":1e+39,"), std::string::npos) << report;
    EXPECT_NE(report.find("\"cfl\":3.0,"), std::string::npos) << report;
    EXPECT_NE(report.find("\"padded_resolution\":1536,"), std::string::npos) << report;
    expectWrittenByTheRule(report);

    test::Engine engine({{"resolution", 16}, {"reynolds", 500}});
    const std::string statistics = test::callText(engine.get(), R"({"op":"advance","steps":3})");
    EXPECT_NE(statistics.find("\"reynolds\":500.0,"), std::string::npos) << statistics;
    EXPECT_NE(statistics.find("\"steps\":3}"), std::string::npos) << statistics;
    expectWrittenByTheRule(statistics);
    expectWrittenByTheRule(test::callText(engine.get(), R"({"op":"export","snapshot":true})"));
}

// The integer keys of a configuration truncate a fraction; the reading is the same for every road.
TEST_F(ProtocolStatements, IntegerConfigurationKeysTruncateAFraction) {
    const test::UI ui;
    const json config = ui({{"op", "configure"}, {"resolution", 32.9}, {"k0", 2.5}})["config"];
    EXPECT_EQ(config["resolution"], 32);
    EXPECT_EQ(config["k0"], 2);

    test::Engine truncated({{"resolution", 16.5}, {"k0", 2.5}, {"reynolds", 500}});
    test::Engine whole({{"resolution", 16}, {"k0", 2}, {"reynolds", 500}});
    EXPECT_EQ(truncated({{"op", "inspect"}}), whole({{"op", "inspect"}}));
}

// "until" must be a finite single-precision time; an advance of no step checks it all the same.
TEST_F(ProtocolStatements, EndTimeIsASinglePrecisionTime) {
    const std::string refused = "Invalid steps or endpoint.";
    test::Engine engine({{"resolution", 16}, {"reynolds", 500}});
    struct Case {
        json request;
        std::string error;
    };
    const Case cases[] = {
        {{{"op", "advance"}, {"until", 1e308}}, refused},
        {{{"op", "advance"}, {"until", 3.5e38}}, refused},
        {{{"op", "advance"}, {"until", -1}, {"steps", 0}}, refused},
        {{{"op", "advance"}, {"until", 1e308}, {"steps", 0}}, refused},
        {{{"op", "advance"}, {"until", 3.4e38}}, ""},
        {{{"op", "advance"}, {"until", 0}, {"steps", 0}}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request.dump());
        EXPECT_EQ(test::errorOf(engine(c.request)), c.error);
    }
    EXPECT_EQ(engine({{"op", "inspect"}})["steps"], 1);
}

// Keys that take effect only with a snapshot or a picture are not read without one; with a
// picture the renderer module comes first, so that its failure is what a host without one meets.
TEST_F(ProtocolStatements, ExportReadsTheKeysThatTakeEffect) {
    test::Engine engine({{"resolution", 16}, {"reynolds", 500}});
    const json unread = {{"display", "pressure"}, {"palette", 5}, {"color_range", "wide"}, {"exposure", "bright"}, {"sigma", nullptr}, {"flow", "often"}, {"pixel_size", 0}};
    json spectrum = unread;
    spectrum["op"] = "export";
    spectrum["spectrum"] = file("spectrum.raw");
    spectrum["include_velocity"] = "yes";
    EXPECT_EQ(engine(spectrum), json::object());
    EXPECT_EQ(std::filesystem::file_size(file("spectrum.raw")), 8u * 16 * 16);

    json snapshot = unread;
    snapshot["op"] = "export";
    snapshot["snapshot"] = true;
    EXPECT_EQ(engine(snapshot)["grid_size"], 16);

    // The order in which the keys are read: the first refused one answers.
    const std::string boolean = "type must be boolean, but is string";
    EXPECT_TRUE(test::endsWith(test::errorOf(engine({{"op", "export"}, {"fields", 5}, {"include_velocity", "x"}})), boolean));
    EXPECT_TRUE(test::endsWith(test::errorOf(engine({{"op", "export"}, {"spectrum", 5}, {"snapshot", "x"}})),
                               "type must be string, but is number"));

    json picture = snapshot;
    picture["png"] = file("picture.png");
    const std::string error = test::errorOf(engine(picture));
    EXPECT_EQ(error.rfind("Cannot load Linux renderer: ", 0), 0u) << error;
    EXPECT_FALSE(std::filesystem::exists(file("picture.png")));
}

// "set" applies its keys in order and in groups: a failing key leaves the groups before it applied
// and nothing of its own.
TEST_F(ProtocolStatements, SetAppliesItsKeysGroupByGroup) {
    struct Case {
        json request;
        std::string error;
        json expected;  // report keys and the values they then hold
    };
    const Case cases[] = {
        {{{"regulated", false}, {"cfl", "fast"}}, "type must be number, but is string", {{"regulated", false}, {"cfl", 3.0}}},
        {{{"cfl", 2}, {"log_reynolds", "high"}}, "type must be number, but is string", {{"cfl", 3.0}}},
        {{{"cfl", 2}, {"palette", "glacier"}, {"display", "pressure"}}, "Unknown display: pressure", {{"cfl", 2.0}, {"palette", "ember"}, {"display", "vorticity"}}},
        // The reported sigma is taken after the canvas scale.
        {{{"flow", true}, {"sigma", 3}, {"canvas_scale", "big"}, {"focused", true}}, "type must be number, but is string", {{"flow", true}, {"sigma", 2.5}, {"focused", false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request.dump());
        const test::UI ui;
        json request = c.request;
        request["op"] = "set";
        const std::string error = test::errorOf(ui(request));
        EXPECT_TRUE(test::endsWith(error, c.error)) << error;
        const json report = ui.report();
        for (const auto& [key, value] : c.expected.items())
            EXPECT_EQ(key == "cfl" ? report["config"]["cfl"] : report[key], value) << key;
    }
}

// Whether frames carry the velocity is settled after "canvas_scale": a "set" that fails there asks
// for the speed in vain, and the next one that gets past it brings the velocity.
TEST_F(ProtocolStatements, VelocityOfTheFramesIsSettledAfterTheCanvasScale) {
    const test::UI ui;
    ui({{"op", "configure"}, {"resolution", 16}});
    ui({{"op", "start"}});
    const json first = ui.await(test::isReady, "with a frame");
    ASSERT_EQ(first["frame"]["max_speed"], 0.0);
    const std::string refused = test::errorOf(ui({{"op", "set"}, {"display", "speed"}, {"canvas_scale", "big"}}));
    EXPECT_TRUE(test::endsWith(refused, "type must be number, but is string")) << refused;
    const auto sequence = [](const json& report) { return report["frame"]["sequence"].get<std::uint64_t>(); };
    const std::uint64_t after = sequence(ui.report());
    const json later = ui.await([&](const json& r) { return sequence(r) > after; }, "with a later frame");
    EXPECT_EQ(later["display"], "speed");
    EXPECT_EQ(later["frame"]["max_speed"], 0.0);
    ui({{"op", "set"}, {"display", "speed"}});
    ui.await([](const json& r) { return r["frame"]["max_speed"].get<double>() > 0; }, "with the velocity");
}

// Re_ref of a 32-point grid lies below the regulator's floor: a new resolution starts there and
// the first adjustment lifts it to the floor in one step, where each later refresh (one per
// 0.25 s at most, and one at the start) moves it by the factor e^0.01 at the most.
TEST_F(ProtocolStatements, RegulatorLiftsASmallGridToItsFloorAtOnce) {
    constexpr double reference = 692.9910998321756;
    constexpr double floor = 1000.0;
    const test::UI ui;
    EXPECT_EQ(ui({{"op", "configure"}, {"resolution", 32}})["config"]["reynolds"], reference);
    const auto started = std::chrono::steady_clock::now();
    ui({{"op", "start"}});
    const json lifted = ui.await([&](const json& r) { return r["effective_reynolds"] != reference; }, "regulated");
    const double refreshes = 2 + std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() / 0.25;
    EXPECT_GE(lifted["effective_reynolds"].get<double>(), floor);
    EXPECT_LE(lifted["effective_reynolds"].get<double>(), floor * std::exp(0.01 * refreshes));
}

}  // namespace
