// Every emulated call behind a UI handle that is not attached (so no render thread runs): its
// controller started paused on a small grid, stepped, reset and stepped again. The controller
// thread makes the calls, and its failures reach the caller as the report's "error_message";
// each operation therefore waits, within a bound, until that thread has gone idle, so that it
// makes no call while the next operation is counted.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

#include "quellmar/quellmar.h"
#include "support/polling.hpp"
#include "support/replies.hpp"
#include "sweep/fault_sweep.hpp"

namespace {

using nlohmann::json;

constexpr int n = 16;
constexpr auto settleBound = std::chrono::seconds(30);
// Longer than the 1/60 s between paced frames.
constexpr auto framePeriod = std::chrono::milliseconds(20);

bool settled(const json& report) { return report["settled"].get<bool>(); }
bool ready(const json& report) { return report["ready"].get<bool>(); }
std::uint64_t generation(const json& report) { return report["generation"].get<std::uint64_t>(); }
std::uint64_t sequence(const json& report) {
    return report.contains("frame") ? report["frame"]["sequence"].get<std::uint64_t>() : 0;
}

class UISubject : public sweep::Subject {
public:
    ~UISubject() override { qm_ui_destroy(handle); }

    std::vector<sweep::Operation> operations() override {
        return {
            {"create", [this] { create(); }},
            {"configure paused", [this] { prepare(); }},
            {"start", [this] { start(); }},
            {"step", [this] { step(); }},
            {"get", [this] { get(); }},
            {"reset", [this] { reset(); }},
            {"step after reset", [this] { step(); }},
            {"destroy", [this] { qm_ui_destroy(std::exchange(handle, nullptr)); }, true},
        };
    }

    // The report answers whatever the controller went through; its error is not a failed call.
    void query() override {
        if (handle != nullptr) get();
    }

    std::string recover() override {
        std::string state;
        return sweep::messageOf([&] {
                   if (handle == nullptr) create();
                   // A controller thread that could not select its device has ended, and no
                   // request starts another: only a new handle runs the simulation again.
                   const json before = get();
                   if (errorText(before).rfind("cudaSetDevice(device)", 0) == 0) {
                       qm_ui_destroy(std::exchange(handle, nullptr));
                       create();
                   }
                   if (!prepared) prepare();
                   call({{"op", "start"}});
                   reset();
                   step();
                   json report = get();
                   report["stats"].erase("gpu_milliseconds");
                   state = report["stats"].dump() + " / " + report["frame"].dump();
               }) +
               state;
    }

private:
    static std::string errorText(const json& report) {
        return report["error_message"].is_null() ? "" : report["error_message"].get<std::string>();
    }

    void create() {
        prepared = false;
        handle = qm_ui_create();
        if (handle == nullptr) throw std::runtime_error("UI handle not created");
    }

    json call(const json& request) { return test::succeeded(test::taken(qm_ui_call(handle, request.dump().c_str()))); }
    json get() { return call({{"op", "get"}}); }

    // A small grid with a fixed Reynolds number, and "step" before "start" so that the controller
    // starts paused.
    void prepare() {
        call({{"op", "configure"}, {"resolution", n}});
        call({{"op", "set"}, {"regulated", false}});
        call({{"op", "step"}});
        prepared = true;
    }

    // The first report, polled every millisecond, in which the controller is idle and done; a
    // controller failure is raised with its message.
    json settle(const std::function<bool(const json&)>& done) {
        json report;
        const auto idle = [&] {
            report = get();
            if (settled(report) && !errorText(report).empty()) throw std::runtime_error(errorText(report));
            return settled(report) && done(report);
        };
        if (!test::pollUntil(idle, settleBound, std::chrono::milliseconds(1)))
            throw std::runtime_error("the controller did not settle: " + report.dump());
        return report;
    }

    void start() {
        call({{"op", "start"}});
        settle(ready);
    }

    // The controller may go idle once more before it takes the step, so the step is known done
    // only by the frame that follows it, the last thing the thread does before going idle.
    // A paused controller also takes a frame before the step when the frame pacing has one due,
    // which it has once a frame period has passed since the last frame: waiting that long first
    // makes the step's calls the same in every pass, however busy the machine.
    void step() {
        std::this_thread::sleep_for(framePeriod);
        const std::uint64_t next = sequence(get()) + 1;
        call({{"op", "step"}});
        settle([next](const json& report) { return ready(report) && sequence(report) == next; });
    }

    void reset() {
        const std::uint64_t next = generation(get()) + 1;
        call({{"op", "reset"}});
        settle([next](const json& report) { return generation(report) == next && ready(report); });
    }

    void* handle = nullptr;
    bool prepared = false;
};

const sweep::Scenario scenarios[] = {
    {"paused_ui", [] { return std::make_unique<UISubject>(); }},
};

class UIFaultSweep : public sweep::FaultSweep {
protected:
    // UI handles are made on the thread that initialised the library: this one.
    static void SetUpTestSuite() {
        sweep::FaultSweep::SetUpTestSuite();
        qm_string_free(qm_initialize(nullptr));
    }
};

TEST_P(UIFaultSweep, RuntimeCalls) { walk(sweep::runtimeCalls()); }
TEST_P(UIFaultSweep, DriverCalls) { walk(sweep::driverCalls()); }

INSTANTIATE_TEST_SUITE_P(UI, UIFaultSweep, ::testing::ValuesIn(scenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
