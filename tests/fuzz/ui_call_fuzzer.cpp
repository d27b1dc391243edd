// qm_ui_call with fuzzed requests on one UI handle that is never attached: every reply is a JSON
// object, whatever the request and whatever the controller it may have started is doing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz_harness.hpp"
#include "quellmar/quellmar.h"

namespace {

void* ui = nullptr;

nlohmann::json call(const char* request) { return fuzz::replyObject(qm_ui_call(ui, request)); }

}  // namespace

// libFuzzer runs the inputs on the thread that runs this, the one UI calls require.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initialize();
    ui = qm_ui_create();
    if (ui == nullptr) std::abort();
    // The pending configuration is the default 1024 x 1024 grid: a "start" must find a small one.
    if (call("{\"op\":\"configure\",\"resolution\":16}").contains("error")) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (!fuzz::affordable(nlohmann::json::parse(text, nullptr, false))) return -1;
    call(text.c_str());
    return 0;
}
