// The configuration reader with fuzzed requests: it answers a valid configuration or throws a
// standard exception, and what it accepts the solver's own validation accepts too.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "bridge/json/readers.hpp"
#include "mirel/solver.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    mirel::Config config;
    try {
        config = mirel::configuration(mirel::decode(text.c_str()), mirel::Config());
    } catch (const std::exception&) {
        return 0;
    }
    try {
        mirel::validate(config);
    } catch (const std::exception&) {
        __builtin_trap();
    }
    return 0;
}
