#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "mirel/solver.hpp"
#include "support/messages.hpp"

namespace {

using test::invalidCNAB2;
using test::invalidConfig;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();

struct Case {
    const char* name;
    void (*change)(mirel::Config&);
    const std::string* message;  // null: accepted
};

mirel::Config cnab2() {
    mirel::Config config;
    config.method = 3;
    return config;
}

const Case cases[] = {
    {"defaults", [](mirel::Config&) {}, nullptr},
    {"N=16", [](mirel::Config& c) { c.resolution = 16; }, nullptr},
    {"N=16384", [](mirel::Config& c) { c.resolution = 16384; }, nullptr},
    {"N=14", [](mirel::Config& c) { c.resolution = 14; }, &invalidConfig},
    {"N=16386", [](mirel::Config& c) { c.resolution = 16386; }, &invalidConfig},
    {"N odd", [](mirel::Config& c) { c.resolution = 1023; }, &invalidConfig},
    {"N negative", [](mirel::Config& c) { c.resolution = -1024; }, &invalidConfig},
    {"k0=0", [](mirel::Config& c) { c.k0 = 0; }, &invalidConfig},
    {"k0 large", [](mirel::Config& c) { c.k0 = 50000000; }, nullptr},
    {"Re=0", [](mirel::Config& c) { c.reynolds = 0.0; }, &invalidConfig},
    {"Re negative", [](mirel::Config& c) { c.reynolds = -5.0; }, &invalidConfig},
    {"Re NaN", [](mirel::Config& c) { c.reynolds = nan; }, &invalidConfig},
    {"1/Re overflows float", [](mirel::Config& c) { c.reynolds = 1e-39; }, &invalidConfig},
    {"Re infinite", [](mirel::Config& c) { c.reynolds = infinity; }, nullptr},
    {"Re tiny but representable", [](mirel::Config& c) { c.reynolds = 1e-38; }, nullptr},
    {"CFL=0", [](mirel::Config& c) { c.cfl = 0.0f; }, &invalidConfig},
    {"CFL negative", [](mirel::Config& c) { c.cfl = -1.0f; }, &invalidConfig},
    {"CFL infinite", [](mirel::Config& c) { c.cfl = static_cast<float>(infinity); }, &invalidConfig},
    {"CFL NaN", [](mirel::Config& c) { c.cfl = static_cast<float>(nan); }, &invalidConfig},
    {"fixed dt 0 is adaptive", [](mirel::Config& c) { c.fixedDt = 0.0f; }, nullptr},
    {"fixed dt positive", [](mirel::Config& c) { c.fixedDt = 1e-3f; }, nullptr},
    {"fixed dt negative", [](mirel::Config& c) { c.fixedDt = -1e-3f; }, &invalidConfig},
    {"fixed dt NaN", [](mirel::Config& c) { c.fixedDt = static_cast<float>(nan); }, &invalidConfig},
    {"fixed dt infinite", [](mirel::Config& c) { c.fixedDt = static_cast<float>(infinity); }, &invalidConfig},
    {"method 3", [](mirel::Config& c) { c.method = 3; }, nullptr},
    {"method 4", [](mirel::Config& c) { c.method = 4; }, &invalidConfig},
    {"form 2", [](mirel::Config& c) { c.form = 2; }, &invalidConfig},
    {"start spectrum 2", [](mirel::Config& c) { c.startSpectrum = 2; }, &invalidConfig},
    {"native rule first for CNAB2", [](mirel::Config& c) { c = cnab2(); c.resolution = 14; }, &invalidConfig},
    {"CNAB2 N=48", [](mirel::Config& c) { c = cnab2(); c.resolution = 48; }, &invalidCNAB2},
    {"CNAB2 N=16", [](mirel::Config& c) { c = cnab2(); c.resolution = 16; }, nullptr},
    {"CNAB2 advective", [](mirel::Config& c) { c = cnab2(); c.form = 1; }, &invalidCNAB2},
    {"CNAB2 seed 0", [](mirel::Config& c) { c = cnab2(); c.seed = 0; }, &invalidCNAB2},
    {"CNAB2 seed 1", [](mirel::Config& c) { c = cnab2(); c.seed = 1; }, nullptr},
    {"CNAB2 seed 5010", [](mirel::Config& c) { c = cnab2(); c.seed = 5010; }, nullptr},
    {"CNAB2 seed 5011", [](mirel::Config& c) { c = cnab2(); c.seed = 5011; }, &invalidCNAB2},
    {"CNAB2 KM3", [](mirel::Config& c) { c = cnab2(); c.startSpectrum = 1; }, nullptr},
    {"CNAB2 Re beyond float", [](mirel::Config& c) { c = cnab2(); c.reynolds = 1e39; }, &invalidCNAB2},
    {"CNAB2 Re infinite", [](mirel::Config& c) { c = cnab2(); c.reynolds = infinity; }, &invalidCNAB2},
    {"native Re beyond float", [](mirel::Config& c) { c.reynolds = 1e39; }, nullptr},
};

TEST(ConfigValidation, AcceptsAndRefusesByTheRules) {
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        mirel::Config config;
        test.change(config);
        if (test.message == nullptr) {
            EXPECT_NO_THROW(mirel::validate(config));
            continue;
        }
        try {
            mirel::validate(config);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(error.what(), *test.message);
        }
    }
}

TEST(ConfigValidation, DefaultsAndNameTables) {
    const mirel::Config config;
    EXPECT_EQ(config.resolution, 1024);
    EXPECT_EQ(config.k0, 4);
    EXPECT_EQ(config.seed, 2u);
    EXPECT_EQ(config.reynolds, 27898.36614974335);
    EXPECT_EQ(config.cfl, 3.0f);
    EXPECT_EQ(config.fixedDt, 0.0f);
    EXPECT_STREQ(mirel::methods[config.method], "etdrk4");
    EXPECT_STREQ(mirel::forms[config.form], "stress");
    EXPECT_STREQ(mirel::startSpectra[config.startSpectrum], "PAO");
    EXPECT_STREQ(mirel::methods[0], "imexRK3");
    EXPECT_STREQ(mirel::methods[1], "ifHeunRK3");
    EXPECT_STREQ(mirel::methods[3], "CNAB2");
    EXPECT_STREQ(mirel::forms[1], "advective");
    EXPECT_STREQ(mirel::startSpectra[1], "KM3");
}

}  // namespace
