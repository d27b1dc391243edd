// Before qm_initialize no thread is the UI main thread, so every UI function refuses.
#include <gtest/gtest.h>

#include "quellmar/quellmar.h"
#include "support/replies.hpp"

namespace {

using test::taken;

TEST(BeforeInitialize, EveryUIFunctionRefuses) {
    const char* refused = R"({"error":"UI calls require the main thread."})";
    EXPECT_EQ(qm_ui_create(), nullptr);
    EXPECT_EQ(taken(qm_ui_attach(nullptr, 5)), refused);
    EXPECT_EQ(taken(qm_ui_call(nullptr, R"({"op":"get"})")), refused);
    qm_ui_destroy(nullptr);
}

}  // namespace
