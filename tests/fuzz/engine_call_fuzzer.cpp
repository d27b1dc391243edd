// qm_engine_call with fuzzed requests on one small engine: every reply is a JSON object, and
// after any request the engine still answers "inspect" (resetting once when a step failed).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz_harness.hpp"
#include "quellmar/quellmar.h"

namespace {

void* engine = nullptr;

nlohmann::json call(const char* request) { return fuzz::replyObject(qm_engine_call(engine, request)); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initialize();
    char* error = nullptr;
    engine = qm_engine_create("{\"resolution\":16}", &error);
    if (engine == nullptr) {
        std::fprintf(stderr, "engine_call_fuzzer: %s\n", error);
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (!fuzz::affordable(text)) return -1;
    call(text.c_str());
    if (call("{\"op\":\"inspect\"}").contains("error") && call("{\"op\":\"reset\"}").contains("error"))
        __builtin_trap();
    return 0;
}
