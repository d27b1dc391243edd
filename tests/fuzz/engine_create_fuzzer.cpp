// qm_engine_create with fuzzed creation requests: every answer is a handle or a message, never a
// crash, and a handle always destroys cleanly.
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz_harness.hpp"
#include "quellmar/quellmar.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (!fuzz::affordable(nlohmann::json::parse(text, nullptr, false))) return -1;
    char* error = nullptr;
    void* engine = qm_engine_create(text.c_str(), &error);
    if ((engine == nullptr) == (error == nullptr)) __builtin_trap();
    qm_string_free(error);
    qm_engine_destroy(engine);
    return 0;
}
