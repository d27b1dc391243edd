// Every emulated call behind the C interface, failed one at a time: library initialisation, and
// headless engines created from a file, inspected, advanced, set, exported and reset.
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "quellmar/quellmar.h"
#include "support/engine_fixture.hpp"
#include "support/file_bytes.hpp"
#include "support/replies.hpp"
#include "support/temp_folder.hpp"
#include "sweep/fault_sweep.hpp"

namespace {

using nlohmann::json;
using test::succeeded;

constexpr int n = 16;

const test::TempFolder& scratch() {
    static const test::TempFolder folder("quellmar-engine-fault-sweep");
    return folder;
}

std::string scratchFile(const char* name) { return (scratch() / name).string(); }

class EngineSubject : public sweep::Subject {
public:
    // "set" sets the configured values again, so that the run stays comparable.
    EngineSubject(const char* integrator, double cfl)
        : configuration{{"resolution", n}, {"reynolds", 1000}, {"cfl", cfl}, {"integrator", integrator}, {"initial", scratchFile("initial.bin")}} {}
    ~EngineSubject() override { qm_engine_destroy(handle); }

    std::vector<sweep::Operation> operations() override {
        return {
            {"create", [this] { create(); }},
            {"inspect", [this] { call({{"op", "inspect"}}); }},
            {"advance", [this] { call({{"op", "advance"}, {"steps", 1}}); }},
            {"set", [this] { call({{"op", "set"}, {"reynolds", configuration["reynolds"]}, {"cfl", configuration["cfl"]}}); }},
            {"export spectrum and fields", [this] {
                 call({{"op", "export"}, {"spectrum", scratchFile("spectrum.bin")}, {"fields", scratchFile("fields.bin")}});
             }},
            {"export a snapshot", [this] { call({{"op", "export"}, {"snapshot", true}, {"include_velocity", false}}); }},
            {"reset to the initial file", [this] { call({{"op", "reset"}, {"initial", scratchFile("initial.bin")}}); }},
            {"reset", [this] { call({{"op", "reset"}}); }},
            {"destroy", [this] { qm_engine_destroy(std::exchange(handle, nullptr)); }, true},
        };
    }

    void query() override {
        if (handle != nullptr) call({{"op", "inspect"}});
    }

    std::string recover() override {
        std::string state;
        return sweep::messageOf([&] {
                   if (handle == nullptr) create();
                   state = test::withoutTiming(call({{"op", "reset"}}));
                   state += " / " + test::withoutTiming(call({{"op", "advance"}, {"steps", 1}}));
               }) +
               state;
    }

private:
    void create() {
        char* error = nullptr;
        handle = qm_engine_create(configuration.dump().c_str(), &error);
        if (handle != nullptr) return;
        const std::string message = error != nullptr ? error : "(no message)";
        qm_string_free(error);
        throw std::runtime_error(message);
    }

    json call(const json& request) { return succeeded(test::callText(handle, request.dump().c_str())); }

    const json configuration;
    void* handle = nullptr;
};

// Initialisation has no handle: a later call that succeeds is its recovery.
class InitializeSubject : public sweep::Subject {
public:
    std::vector<sweep::Operation> operations() override {
        return {{"initialize", [] { initialize(); }}};
    }

    void query() override {}

    std::string recover() override {
        std::string state;
        return sweep::messageOf([&] {
                   json document = initialize();
                   document.erase("available_memory_bytes");
                   state = document.dump();
               }) +
               state;
    }

private:
    static json initialize() {
        char* reply = qm_initialize(nullptr);
        if (reply == nullptr) throw std::runtime_error("(null reply)");
        const std::string text = reply;
        qm_string_free(reply);
        return succeeded(text);
    }
};

const sweep::Scenario scenarios[] = {
    {"initialize", [] { return std::make_unique<InitializeSubject>(); }},
    {"etdrk4_engine", [] { return std::make_unique<EngineSubject>("etdrk4", 3.0); }},
};

class EngineFaultSweep : public sweep::FaultSweep {
protected:
    // The library is initialised once, as a host does, and the engines start from one file.
    static void SetUpTestSuite() {
        sweep::FaultSweep::SetUpTestSuite();
        char* document = qm_initialize(nullptr);
        qm_string_free(document);
        test::writeFloats(scratch() / "initial.bin", sweep::suppliedField(n));
    }
};

TEST_P(EngineFaultSweep, RuntimeCalls) { walk(sweep::runtimeCalls()); }
TEST_P(EngineFaultSweep, DriverCalls) { walk(sweep::driverCalls()); }

INSTANTIATE_TEST_SUITE_P(Engine, EngineFaultSweep, ::testing::ValuesIn(scenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
