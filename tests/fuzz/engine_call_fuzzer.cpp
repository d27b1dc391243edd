// qm_engine_call with fuzzed requests on small engines that live across inputs, one for each grid
// size and integrator: a request's own "resolution" (16 or 32) and "integrator", which calls
// otherwise ignore, pick the engine. Every reply is a JSON object, and after a request that may
// have changed the engine, undoing what it may have changed must succeed, so that every input
// meets an engine as it was created and a finding reproduces from its input alone.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "fuzz_harness.hpp"
#include "quellmar/quellmar.h"

namespace {

using nlohmann::json;

struct Engine {
    void* handle;
    // The Reynolds and CFL numbers it was created with, which "set" changes and "reset" keeps.
    std::string restore;
};

json call(void* engine, const char* request) { return fuzz::replyObject(qm_engine_call(engine, request)); }

std::string stringKey(const json& request, const char* key, const char* fallback) {
    const auto it = request.find(key);
    return it != request.end() && it->is_string() ? it->get<std::string>() : fallback;
}

Engine& engineFor(const json& request) {
    // Never destroyed: the engines stay reachable to the end of the process, so that the leak
    // check at exit does not count them.
    static auto& engines = *new std::map<std::pair<int, std::string>, Engine>();
    const auto resolution = request.find("resolution");
    const int n = resolution != request.end() && *resolution == 32 ? 32 : 16;
    std::string integrator = stringKey(request, "integrator", "etdrk4");
    if (integrator != "imexRK3" && integrator != "ifHeunRK3" && integrator != "CNAB2") integrator = "etdrk4";
    const auto key = std::make_pair(n, integrator);
    const auto found = engines.find(key);
    if (found != engines.end()) return found->second;
    const std::string configuration = json{{"resolution", n}, {"integrator", integrator}}.dump();
    char* error = nullptr;
    void* handle = qm_engine_create(configuration.c_str(), &error);
    if (handle == nullptr) {
        std::fprintf(stderr, "engine_call_fuzzer: %s: %s\n", configuration.c_str(), error);
        std::abort();
    }
    const json statistics = call(handle, "{\"op\":\"inspect\"}");
    json restore = {{"op", "set"}, {"reynolds", statistics.at("reynolds")}};
    // The CFL number in force is not reported; each integrator starts at its default.
    restore["cfl"] = integrator == "CNAB2" ? 0.25 : 3.0;
    return engines.emplace(key, Engine{handle, restore.dump()}).first->second;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const json request = json::parse(text, nullptr, false);
    if (!fuzz::affordable(request)) return -1;
    const Engine& engine = engineFor(request.is_object() ? request : json::object());
    const bool failed = call(engine.handle, text.c_str()).contains("error");
    // Only these operations leave the engine other than they found it, each in its own way: a
    // "set" changes the Reynolds and CFL numbers and nothing else, which its restoring "set"
    // undoes alone, while "advance" and "reset" change the field and keep the numbers. A
    // "reset" that read no initial field and succeeded has done what undoing it would do. The
    // reset it takes otherwise costs most of an input's time, so it is left out where it would
    // change nothing.
    const std::string op = request.is_object() ? stringKey(request, "op", "") : "";
    const char* undo = nullptr;
    if (op == "set") undo = engine.restore.c_str();
    if (op == "advance" || (op == "reset" && (failed || request.contains("initial")))) undo = "{\"op\":\"reset\"}";
    if (undo != nullptr && call(engine.handle, undo).contains("error")) __builtin_trap();
    return 0;
}
