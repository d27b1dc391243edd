// libquellmar exports the host interface and the public operations, and nothing of its internals
// (the driver forwarding entries above all: they would capture other libraries' driver calls).
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "support/process.hpp"

namespace {

std::set<std::string> lines(const std::string& text) {
    std::set<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        if (!line.empty()) result.insert(line);
    return result;
}

std::set<std::string> exported() {
    return lines(test::output("nm -D --defined-only -C --format=just-symbols '" QM_LIBRARY "'"));
}

TEST(Exports, OnlyThePublicFace) {
    const std::regex allowed(
        R"(^(qm_\w+|cudaCheck\(.*\)|mirel::(Solver|Controller)::.*|mirel::(loadInitial|writeSpectrum)\(.*\)|mirel::(methods|forms|startSpectra))$)");
    const std::set<std::string> symbols = exported();
    for (const std::string& symbol : symbols) {
        EXPECT_TRUE(std::regex_match(symbol, allowed)) << symbol;
        EXPECT_EQ(symbol.find("::Impl"), std::string::npos) << symbol;
    }
    for (const char* required : {"qm_initialize", "qm_string_free", "qm_ui_create", "qm_ui_attach", "qm_ui_call",
                                 "qm_ui_destroy", "mirel::methods", "mirel::forms", "mirel::startSpectra",
                                 "cudaCheck(cudaError, char const*)"})
        EXPECT_EQ(symbols.count(required), 1u) << required;
    for (const char* operation :
         {"Controller(mirel::Options const&, int)", "~Controller()", "running(bool)", "singleStep()", "live(float, double)",
          "regulate(bool)", "visible(bool)", "velocity(bool)", "dismissError()", "view() const", "configure(mirel::Config)",
          "reset()", "startMeasurement()", "benchmark(mirel::Options const&)"})
        EXPECT_EQ(symbols.count(std::string("mirel::Controller::") + operation), 1u) << operation;
}

TEST(Exports, NeverLinksTheDriver) {
    const std::string dynamic = test::output("readelf -d '" QM_LIBRARY "'");
    EXPECT_EQ(dynamic.find("libcuda.so"), std::string::npos) << dynamic;
    EXPECT_NE(dynamic.find("libnvrtc.so"), std::string::npos) << dynamic;
    for (const std::string& symbol : lines(test::output("nm -D --undefined-only --format=just-symbols '" QM_LIBRARY "'")))
        EXPECT_EQ(symbol.rfind("cu", 0) == 0 && symbol.rfind("cuda", 0) != 0, false) << symbol;
}

}  // namespace
