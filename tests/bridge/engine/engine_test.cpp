// The headless engine through the public C interface: its operations, their replies and files,
// and the messages of every refused request.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "quellmar/quellmar.h"
#include "support/deep_requests.hpp"
#include "support/engine_fixture.hpp"
#include "support/file_bytes.hpp"
#include "support/file_fixture.hpp"
#include "support/messages.hpp"
#include "support/watchdog.hpp"

namespace {

using nlohmann::json;
using test::endsWith;
using test::Engine;
using test::errorOf;
using test::parseMessage;
using test::withoutTiming;

constexpr int n = 16;
const json small = {{"resolution", n}, {"reynolds", 1000}};

class EngineCalls : public test::EngineTest {};

TEST_F(EngineCalls, RefusedRequestsAnswerTheErrorObject) {
    // Our own messages are compared whole; the JSON library's type errors by their documented end.
    struct Case {
        const char* request;
        std::string message;
        bool whole;
    };
    const std::string missing = file("missing/out.bin");
    const Case cases[] = {
        {nullptr, test::noObject, true},
        {"[]", test::noObject, true},
        {"\"inspect\"", test::noObject, true},
        {"{\"op\":\"inspect\"} x", parseMessage("{\"op\":\"inspect\"} x"), true},
        {"{}", "Unknown engine operation.", true},
        {"{\"op\":\"\"}", "Unknown engine operation.", true},
        {"{\"op\":\"Inspect\"}", "Unknown engine operation.", true},
        {"{\"op\":null}", "type must be string, but is null", false},
        {"{\"op\":3}", "type must be string, but is number", false},
        {"{\"op\":\"advance\",\"steps\":null}", "type must be number, but is null", false},
        {"{\"op\":\"advance\",\"steps\":\"2\"}", "type must be number, but is string", false},
        {"{\"op\":\"advance\",\"steps\":-1}", "Invalid steps or endpoint.", true},
        {"{\"op\":\"advance\",\"steps\":3e9}", "Invalid steps or endpoint.", true},
        {"{\"op\":\"advance\",\"steps\":1e19}", "Invalid steps or endpoint.", true},
        {"{\"op\":\"advance\",\"steps\":-1e19}", "Invalid steps or endpoint.", true},
        {"{\"op\":\"advance\",\"until\":-1}", "Invalid steps or endpoint.", true},
        {"{\"op\":\"advance\",\"until\":1e39}", "Invalid steps or endpoint.", true},
        {"{\"op\":\"advance\",\"until\":\"1\"}", "type must be number, but is string", false},
        {"{\"op\":\"set\",\"reynolds\":-1}", "Re must be finite and positive.", true},
        {"{\"op\":\"set\",\"reynolds\":1e-300}", "Re must be finite and positive.", true},
        {"{\"op\":\"set\",\"cfl\":0}", "CFL must be finite and positive.", true},
        {"{\"op\":\"set\",\"cfl\":true}", "type must be number, but is boolean", false},
        {"{\"op\":\"reset\",\"initial\":5}", "type must be string, but is number", false},
        {"{\"op\":\"export\",\"snapshot\":null}", "type must be boolean, but is null", false},
        {"{\"op\":\"export\",\"snapshot\":1}", "type must be boolean, but is number", false},
        {"{\"op\":\"export\",\"snapshot\":true,\"include_velocity\":\"no\"}", "type must be boolean, but is string",
         false},
        {"{\"op\":\"export\",\"spectrum\":7}", "type must be string, but is number", false},
        {"{\"op\":\"export\",\"fields\":[]}", "type must be string, but is array", false},
    };
    Engine engine(small);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request != nullptr ? c.request : "(null request)");
        const json reply = json::parse(test::callText(engine.get(), c.request));
        ASSERT_EQ(reply.size(), 1u) << reply;
        const std::string message = errorOf(reply);
        if (c.whole)
            EXPECT_EQ(message, c.message);
        else
            EXPECT_TRUE(endsWith(message, c.message)) << message;
    }
    for (const char* unwritable : {"spectrum", "fields"}) {
        const json reply = engine({{"op", "export"}, {unwritable, missing}});
        EXPECT_EQ(reply, json({{"error", "Cannot write export file."}})) << unwritable;
    }
    EXPECT_EQ(engine({{"op", "inspect"}})["steps"], 0) << "a refused request leaves the engine usable";
}

// Every key a call reads, nested 100,000 levels deep, is refused with its own message on a
// thread whose stack could not hold one frame per level; a nested key nobody reads is ignored.
TEST_F(EngineCalls, DeeplyNestedKeysAreRefusedOnASmallStack) {
    struct Case {
        const char* request;  // up to the nested value
        const char* message;  // the end of the error, or "" for a reply without one
    };
    const Case cases[] = {
        {"{\"op\":", "type must be string, but is array"},
        {"{\"op\":\"inspect\",\"unread\":", ""},
        {"{\"op\":\"advance\",\"until\":", "type must be number, but is array"},
        {"{\"op\":\"advance\",\"steps\":", "type must be number, but is array"},
        {"{\"op\":\"set\",\"reynolds\":", "type must be number, but is array"},
        {"{\"op\":\"set\",\"cfl\":", "type must be number, but is array"},
        {"{\"op\":\"reset\",\"initial\":", "type must be string, but is array"},
        {"{\"op\":\"export\",\"spectrum\":", "type must be string, but is array"},
        {"{\"op\":\"export\",\"snapshot\":", "type must be boolean, but is array"},
        {"{\"op\":\"export\",\"snapshot\":true,\"include_velocity\":", "type must be boolean, but is array"},
        {"{\"op\":\"export\",\"fields\":", "type must be string, but is array"},
    };
    Engine engine(small);
    const std::string nested = test::nestedArrays(test::deepNesting);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        const std::string request = c.request + nested + "}";
        std::string reply;
        test::onSmallStack(test::smallStack, [&] { reply = test::callText(engine.get(), request.c_str()); });
        const std::string message = errorOf(json::parse(reply));
        if (*c.message == '\0')
            EXPECT_EQ(message, "");
        else
            EXPECT_TRUE(endsWith(message, c.message)) << message;
    }
    EXPECT_EQ(engine({{"op", "inspect"}})["steps"], 0);
}

// The case of a full disk: a 32² spectrum does not fit where the 16² fields file did. The failed
// export leaves that file whole and no partial or temporary file beside it.
TEST_F(EngineCalls, FailedExportKeepsTheFileItReplaces) {
    Engine fields(small);
    EXPECT_EQ(fields({{"op", "export"}, {"fields", file("keep.bin")}}).count("error"), 0u);
    const test::Bytes kept = test::readBytes(file("keep.bin"));
    ASSERT_EQ(kept.size(), 12u * n * n);

    Engine spectrum({{"resolution", 2 * n}, {"reynolds", 1000}});
    {
        const test::FileSizeLimit disk(kept.size() + 1024);
        EXPECT_EQ(spectrum({{"op", "export"}, {"spectrum", file("keep.bin")}}),
                  json({{"error", "Cannot write export file."}}));
    }
    EXPECT_EQ(test::readBytes(file("keep.bin")), kept);
    EXPECT_EQ(test::entries(folder), std::vector<std::string>{"keep.bin"});

    EXPECT_EQ(spectrum({{"op", "export"}, {"spectrum", file("keep.bin")}}), json::object());
    EXPECT_EQ(std::filesystem::file_size(file("keep.bin")), 8u * 4 * n * n);
    EXPECT_EQ(test::entries(folder), std::vector<std::string>{"keep.bin"});
}

// Each file the engine writes keeps the permission bits of the one it replaces, may have the
// longest path the kernel takes, and a FIFO without a reader is refused at once instead of
// blocking the call.
TEST_F(EngineCalls, ExportKeepsWhatTheUserHad) {
    using std::filesystem::perms;
    const std::filesystem::path fifo = folder / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    const std::filesystem::path longest = test::longestPath(folder, "f");
    const struct {
        const char* key;
        std::uintmax_t size;
    } files[] = {{"spectrum", 8u * n * n}, {"fields", 12u * n * n}};
    Engine engine(small);
    for (const auto& f : files) {
        SCOPED_TRACE(f.key);
        test::writeBytes(file("private.bin"), test::Bytes(64, 0xAB));
        std::filesystem::permissions(file("private.bin"), perms::owner_read | perms::owner_write);
        EXPECT_EQ(errorOf(engine({{"op", "export"}, {f.key, file("private.bin")}})), "");
        EXPECT_EQ(test::permissions(file("private.bin")), perms::owner_read | perms::owner_write);
        EXPECT_EQ(std::filesystem::file_size(file("private.bin")), f.size);

        EXPECT_EQ(errorOf(engine({{"op", "export"}, {f.key, longest.string()}})), "");
        EXPECT_EQ(std::filesystem::file_size(longest), f.size);

        const test::Watchdog watchdog(30.0, "an export to a FIFO without a reader");
        EXPECT_EQ(errorOf(engine({{"op", "export"}, {f.key, fifo.string()}})), "Cannot write export file.");
    }
}

// Paths a careless host may give: one that holds a NUL is refused, where the kernel would have
// read it only up to the NUL, and a pipe whose reader leaves after 10 bytes fails the export
// without ending the host by SIGPIPE, whose disposition stays the host's.
TEST_F(EngineCalls, ExportIntoHostileTargetsAnswersTheFileError) {
    const std::filesystem::path fifo = folder / "fifo";
    std::filesystem::create_directory(folder / "dir");
    void (*const before)(int) = std::signal(SIGPIPE, SIG_DFL);
    Engine engine({{"resolution", 2 * n}, {"reynolds", 1000}});
    for (const char* key : {"spectrum", "fields"}) {
        SCOPED_TRACE(key);
        for (const std::string& leaf : {std::string("keep\0.raw", 9), std::string("dir\0/../elsewhere", 17)})
            EXPECT_EQ(errorOf(engine({{"op", "export"}, {key, folder.string() + "/" + leaf}})), "Cannot write export file.");
        // Smaller than either file, so that the export waits for the reader that leaves.
        const int reader = test::smallFifo(fifo);
        ASSERT_GE(reader, 0);
        std::thread leaving(test::readAndLeave, reader, 10);
        EXPECT_EQ(errorOf(engine({{"op", "export"}, {key, fifo.string()}})), "Cannot write export file.");
        leaving.join();
        std::filesystem::remove(fifo);
    }
    EXPECT_EQ(std::signal(SIGPIPE, before), SIG_DFL);
    EXPECT_EQ(test::entries(folder), std::vector<std::string>{"dir"});
    EXPECT_TRUE(std::filesystem::is_empty(folder / "dir"));
}

TEST_F(EngineCalls, ClosedEngineAndNullDestroy) {
    EXPECT_EQ(test::callText(nullptr, "{\"op\":\"inspect\"}"), "{\"error\":\"Closed engine.\"}");
    EXPECT_EQ(test::callText(nullptr, nullptr), "{\"error\":\"Closed engine.\"}");
    qm_engine_destroy(nullptr);
}

TEST_F(EngineCalls, InspectAnswersTheCompactStatistics) {
    Engine engine(small);
    const std::string text = test::callText(engine.get(), "{\"op\":\"inspect\"}");
    EXPECT_EQ(text.rfind("{\"allocated_bytes\":", 0), 0u) << text;
    EXPECT_EQ(text.find(' '), std::string::npos) << text;
    const json reply = json::parse(text);
    std::vector<std::string> keys;
    for (const auto& item : reply.items()) keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"allocated_bytes", "dt", "energy", "enstrophy", "gpu_milliseconds",
                                              "initial_turnover_time", "is_finite", "palinstrophy",
                                              "palinstrophy_ratio", "reynolds", "simulation_time", "steps"}));
    EXPECT_EQ(reply["steps"], 0);
    EXPECT_EQ(reply["simulation_time"], 0.0);
    EXPECT_EQ(reply["reynolds"], 1000.0);
    EXPECT_EQ(reply["is_finite"], true);
    EXPECT_GT(reply["energy"].get<double>(), 0.0);
    EXPECT_GT(reply["allocated_bytes"].get<std::uint64_t>(), 0u);
}

TEST_F(EngineCalls, AdvanceReadsStepsAndEndTime) {
    Engine engine(small);
    EXPECT_EQ(engine({{"op", "advance"}})["steps"], 1) << "one step without a count";
    EXPECT_EQ(engine({{"op", "advance"}, {"steps", 2.7}})["steps"], 3) << "2.7 runs two steps";
    EXPECT_EQ(engine({{"op", "advance"}, {"steps", 3}, {"until", nullptr}})["steps"], 6) << "null until: no end time";
    const json zero = engine({{"op", "advance"}, {"steps", 0}});
    EXPECT_EQ(zero["steps"], 6);

    const json reached = engine({{"op", "advance"}, {"steps", 1000}, {"until", 1.25}});
    EXPECT_LT(reached["steps"].get<int>(), 1000);
    EXPECT_NEAR(reached["simulation_time"].get<double>(), 1.25, 1e-12);
    const json again = engine({{"op", "advance"}, {"steps", 5}, {"until", 1.25}});
    EXPECT_EQ(withoutTiming(again), withoutTiming(reached)) << "an end time already reached runs nothing";

    Engine counted(small);
    counted({{"op", "advance"}, {"steps", 2}});
    Engine truncated(small);
    truncated({{"op", "advance"}, {"steps", 2.7}});
    EXPECT_EQ(withoutTiming(truncated({{"op", "inspect"}})), withoutTiming(counted({{"op", "inspect"}})));
}

// The CFL number shows in the step that the next advance chooses.
TEST_F(EngineCalls, SetAppliesReynoldsThenCfl) {
    Engine untouched(small);
    const json plain = untouched({{"op", "advance"}});

    Engine empty(small);
    EXPECT_EQ(empty({{"op", "set"}}), json::object());
    EXPECT_EQ(empty({{"op", "set"}, {"reynolds", nullptr}, {"cfl", nullptr}}), json::object());
    EXPECT_EQ(withoutTiming(empty({{"op", "advance"}})), withoutTiming(plain));

    Engine refused(small);
    EXPECT_EQ(errorOf(refused({{"op", "set"}, {"reynolds", -1}, {"cfl", 0.5}})), "Re must be finite and positive.");
    EXPECT_EQ(withoutTiming(refused({{"op", "advance"}})), withoutTiming(plain)) << "the CFL number was not changed";

    Engine slower(small);
    EXPECT_EQ(slower({{"op", "set"}, {"cfl", 0.5}}), json::object());
    EXPECT_LT(slower({{"op", "advance"}})["dt"].get<double>(), plain["dt"].get<double>());

    Engine half(small);
    EXPECT_EQ(errorOf(half({{"op", "set"}, {"reynolds", 500}, {"cfl", -1}})), "CFL must be finite and positive.");
    EXPECT_EQ(half({{"op", "inspect"}})["reynolds"], 500.0) << "the Reynolds number is set before the CFL number";

    Engine mistyped(small);
    const json before = mistyped({{"op", "inspect"}});
    EXPECT_NE(errorOf(mistyped({{"op", "set"}, {"reynolds", 500}, {"cfl", true}}))
                  .find("type must be number, but is boolean"),
              std::string::npos);
    EXPECT_EQ(mistyped({{"op", "inspect"}})["reynolds"], before["reynolds"]) << "a refused request changes nothing";
}

TEST_F(EngineCalls, ResetRestartsTheRun) {
    Engine fresh(small);
    const json start = fresh({{"op", "inspect"}});
    Engine engine(small);
    engine({{"op", "advance"}, {"steps", 4}});
    EXPECT_EQ(withoutTiming(engine({{"op", "reset"}})), withoutTiming(start));
    EXPECT_EQ(withoutTiming(engine({{"op", "advance"}, {"steps", 3}})),
              withoutTiming(fresh({{"op", "advance"}, {"steps", 3}})));
}

// A refused initial file is found before the solver is touched; the error text keeps its raw
// UTF-8 (the superscript two, a non-ASCII path).
TEST_F(EngineCalls, RefusedResetKeepsTheRun) {
    std::vector<float> notFinite(n * n, 0.0f);
    notFinite[n + 3] = std::numeric_limits<float>::infinity();
    test::writeFloats(file("initial32.bin"), std::vector<float>(32 * 32, 1.0f));
    test::writeFloats(file("short.bin"), std::vector<float>(n * n - 1, 1.0f));
    test::writeFloats(file("infinite.bin"), notFinite);
    test::writeFloats(file("fitting.bin"), std::vector<float>(n * n, 1.0f));
    const std::string wrongSize = "{\"error\":\"Initial file must contain exactly N² Float32 samples.\"}";
    struct Case {
        json initial;
        std::string reply;
        bool whole;
    };
    const Case cases[] = {
        {file("initial32.bin"), wrongSize, true},
        {file("short.bin"), wrongSize, true},
        {file("infinite.bin"), "{\"error\":\"Initial vorticity must contain exactly N² finite Float32 samples.\"}", true},
        {file("grün.bin"), "grün.bin]\"}", false},
        // The kernel would read the path only up to the NUL: "fitting.bin", of the right size.
        {file("fitting.bin") + std::string("\0junk", 5), "{\"error\":\"Cannot read initial file.\"}", true},
        {5, "type must be string, but is number\"}", false},
    };
    Engine engine(small);
    engine({{"op", "advance"}, {"steps", 3}});
    const json before = engine({{"op", "inspect"}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.initial.dump());
        const std::string reply = test::callText(engine.get(), json({{"op", "reset"}, {"initial", c.initial}}).dump().c_str());
        if (c.whole)
            EXPECT_EQ(reply, c.reply);
        else
            EXPECT_TRUE(endsWith(reply, c.reply)) << reply;
        EXPECT_EQ(withoutTiming(engine({{"op", "inspect"}})), withoutTiming(before));
    }
    EXPECT_EQ(engine({{"op", "advance"}})["steps"], 4);
}

// The vorticity plane of a fields file is a valid initial field for the same resolution.
TEST_F(EngineCalls, ExportedVorticityRestartsTheSameFlow) {
    Engine source(small);
    source({{"op", "advance"}, {"steps", 5}});
    const json stats = source({{"op", "inspect"}});
    source({{"op", "export"}, {"fields", file("fields.bin")}});
    std::vector<float> vorticity = test::floatsOf(file("fields.bin"));
    vorticity.resize(n * n);
    test::writeFloats(file("initial.bin"), vorticity);

    json withFile = small;
    withFile["initial"] = file("initial.bin");
    Engine created(withFile);
    Engine reset(small);
    for (const json& restarted : {created({{"op", "inspect"}}), reset({{"op", "reset"}, {"initial", file("initial.bin")}})}) {
        EXPECT_EQ(restarted["steps"], 0);
        EXPECT_NEAR(restarted["energy"].get<double>(), stats["energy"].get<double>(), 1e-5 * stats["energy"].get<double>());
        EXPECT_NEAR(restarted["enstrophy"].get<double>(), stats["enstrophy"].get<double>(),
                    1e-5 * stats["enstrophy"].get<double>());
    }
}

TEST_F(EngineCalls, ExportWritesOnlyWhatIsAsked) {
    Engine engine(small);
    engine({{"op", "advance"}, {"steps", 2}});
    EXPECT_EQ(engine({{"op", "export"}}), json::object());
    EXPECT_EQ(engine({{"op", "export"}, {"snapshot", false}, {"fields", nullptr}, {"png", nullptr}}), json::object());
    EXPECT_EQ(engine({{"op", "export"}, {"spectrum", file("spectrum.bin")}}), json::object());
    EXPECT_EQ(std::filesystem::file_size(file("spectrum.bin")), 8u * n * n);
    std::filesystem::remove(file("spectrum.bin"));

    const json summary = engine({{"op", "export"}, {"snapshot", true}});
    EXPECT_TRUE(std::filesystem::is_empty(folder));
    std::vector<std::string> keys;
    for (const auto& item : summary.items()) keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"grid_size", "max_speed", "max_vorticity", "mean_vorticity", "sequence",
                                              "std_vorticity", "time"}));
    const json stats = engine({{"op", "inspect"}});
    EXPECT_EQ(summary["grid_size"], n);
    EXPECT_EQ(summary["sequence"], 2);
    EXPECT_EQ(summary["time"], stats["simulation_time"]);
    EXPECT_GT(summary["max_speed"].get<double>(), 0.0);
    EXPECT_EQ(engine({{"op", "export"}, {"snapshot", true}, {"include_velocity", false}})["max_speed"], 0.0);
}

TEST_F(EngineCalls, FieldsFileHoldsTheFrame) {
    Engine engine(small);
    engine({{"op", "advance"}, {"steps", 2}});
    const std::size_t plane = n * n;
    for (const bool velocity : {true, false}) {
        SCOPED_TRACE(velocity ? "with velocity" : "without velocity");
        const json summary = engine({{"op", "export"}, {"fields", file("fields.bin")}, {"include_velocity", velocity}});
        const std::vector<float> values = test::floatsOf(file("fields.bin"));
        ASSERT_EQ(std::filesystem::file_size(file("fields.bin")), 12u * plane);
        float maxVorticity = 0.0f;
        double sum = 0.0;
        float maxSpeed = 0.0f;
        for (std::size_t i = 0; i < plane; ++i) {
            maxVorticity = std::max(maxVorticity, std::fabs(values[i]));
            sum += values[i];
            const float u = values[plane + i];
            const float v = values[2 * plane + i];
            maxSpeed = std::max(maxSpeed, std::sqrt(u * u + v * v));
        }
        EXPECT_EQ(summary["max_vorticity"], static_cast<double>(maxVorticity));
        EXPECT_NEAR(summary["mean_vorticity"].get<double>(), sum / plane, 1e-5);
        EXPECT_FLOAT_EQ(summary["max_speed"].get<float>(), maxSpeed);
        if (!velocity) {
            EXPECT_EQ(summary["max_speed"], 0.0);
            EXPECT_TRUE(std::all_of(values.begin() + plane, values.end(), [](float x) { return x == 0.0f; }));
        } else {
            EXPECT_GT(maxSpeed, 0.0f);
        }
    }
}

// A refused export writes none of its files: every key is read, and the renderer module that a
// PNG needs is loaded, before the first file is touched. These engines run without a resources
// folder, so the module is not found and every PNG fails at the binding.
TEST_F(EngineCalls, RefusedExportsLeaveTheFilesAsTheyWere) {
    Engine engine(small);
    const std::string noRenderer = "Cannot load Linux renderer: libquellmar_gl.so: ";
    const struct {
        json keys;
        std::string message;  // a part of the error
    } cases[] = {
        {{{"snapshot", 1}}, "type must be boolean, but is number"},
        {{{"include_velocity", "no"}}, "type must be boolean, but is string"},
        {{{"fields", json::array()}}, "type must be string, but is array"},
        {{{"png", file("f.png")}}, noRenderer},
        {{{"png", file("f.png")}, {"pixel_size", 0}}, noRenderer},
        {{{"png", file("f.png")}, {"display", "Speed"}}, noRenderer},
    };
    const test::Bytes before = {'o', 'l', 'd'};
    for (const auto& c : cases) {
        json request = {{"op", "export"}, {"spectrum", file("spectrum.bin")}, {"fields", file("fields.bin")}};
        request.update(c.keys);
        SCOPED_TRACE(request.dump());
        test::writeBytes(file("spectrum.bin"), before);
        test::writeBytes(file("fields.bin"), before);
        const std::string error = errorOf(engine(request));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        EXPECT_EQ(test::readBytes(file("spectrum.bin")), before);
        EXPECT_EQ(test::readBytes(file("fields.bin")), before);
        EXPECT_FALSE(std::filesystem::exists(file("f.png")));
    }
}

class EngineCreation : public test::EngineTest {};

TEST_F(EngineCreation, FailuresAreReportedAsPlainText) {
    test::writeFloats(file("initial32.bin"), std::vector<float>(32 * 32, 0.0f));
    std::vector<float> notFinite(n * n, 0.0f);
    notFinite[7] = std::numeric_limits<float>::quiet_NaN();
    test::writeFloats(file("nan.bin"), notFinite);
    struct Case {
        const char* request;
        std::string message;
        bool whole;
    };
    const std::string wrongSize = "{\"resolution\":16,\"initial\":\"" + file("initial32.bin") + "\"}";
    const std::string withNaN = "{\"resolution\":16,\"initial\":\"" + file("nan.bin") + "\"}";
    const std::string absent = "{\"resolution\":16,\"initial\":\"" + file("absent.bin") + "\"}";
    test::writeFloats(file("initial16.bin"), std::vector<float>(16 * 16, 0.0f));
    const std::string nul = "{\"resolution\":16,\"initial\":\"" + file("initial16.bin") + "\\u0000junk\"}";
    const Case cases[] = {
        {"not json", parseMessage("not json"), true},
        {"{\"resolution\":16,}", parseMessage("{\"resolution\":16,}"), true},
        {nullptr, test::noObject, true},
        {"[16]", test::noObject, true},
        {"{\"resolution\":33}", test::invalidConfig, true},
        {"{\"resolution\":\"16\"}", "type must be number, but is string", false},
        {"{\"resolution\":16,\"integrator\":\"rk4\"}", "Unknown integrator: rk4", true},
        {"{\"resolution\":16,\"seed\":\"-1\"}", test::badSeed, true},
        {"{\"resolution\":16,\"k0\":1000001}", test::wavenumberTooLarge, true},
        {"{\"resolution\":16,\"fixed_dt\":0}", test::fixedDtNotPositive, true},
        {"{\"resolution\":48,\"integrator\":\"CNAB2\"}", test::invalidCNAB2, true},
        {"{\"resolution\":33,\"initial\":5}", test::invalidConfig, true},
        {"{\"resolution\":16,\"initial\":5}", "type must be string, but is number", false},
        {wrongSize.c_str(), "Initial file must contain exactly N² Float32 samples.", true},
        {withNaN.c_str(), "Initial vorticity must contain exactly N² finite Float32 samples.", true},
        {absent.c_str(), file("absent.bin"), false},
        {nul.c_str(), "Cannot read initial file.", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request != nullptr ? c.request : "(null request)");
        char* error = nullptr;
        EXPECT_EQ(qm_engine_create(c.request, &error), nullptr);
        ASSERT_NE(error, nullptr);
        const std::string message = error;
        qm_string_free(error);
        if (c.whole)
            EXPECT_EQ(message, c.message);
        else
            EXPECT_NE(message.find(c.message), std::string::npos) << message;
        EXPECT_EQ(qm_engine_create(c.request, nullptr), nullptr);
    }
}

TEST_F(EngineCreation, DeeplyNestedKeysAreRefusedOnASmallStack) {
    struct Case {
        const char* key;
        const char* message;
    };
    const Case cases[] = {
        {"resolution", "type must be number, but is array"},
        {"k0", "type must be number, but is array"},
        {"seed", test::badSeed.c_str()},
        {"reynolds", "type must be number, but is array"},
        {"cfl", "type must be number, but is array"},
        {"integrator", "type must be string, but is array"},
        {"operator", "type must be string, but is array"},
        {"start_spectrum", "type must be string, but is array"},
        {"fixed_dt", "type must be number, but is array"},
        {"initial", "type must be string, but is array"},
    };
    const std::string nested = test::nestedArrays(test::deepNesting);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        const std::string request = std::string("{\"") + c.key + "\":" + nested + "}";
        void* engine = nullptr;
        char* error = nullptr;
        test::onSmallStack(test::smallStack, [&] { engine = qm_engine_create(request.c_str(), &error); });
        EXPECT_EQ(engine, nullptr);
        ASSERT_NE(error, nullptr);
        EXPECT_TRUE(endsWith(error, c.message)) << error;
        qm_string_free(error);
    }
}

TEST_F(EngineCreation, SuccessLeavesTheErrorPointerAlone) {
    char sentinel = 0;
    char* error = &sentinel;
    void* engine = qm_engine_create("{\"resolution\":16,\"ignored\":[1,2]}", &error);
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(error, &sentinel);
    qm_engine_destroy(engine);
    engine = qm_engine_create("{\"resolution\":16}", nullptr);
    ASSERT_NE(engine, nullptr);
    qm_engine_destroy(engine);
}

}  // namespace
