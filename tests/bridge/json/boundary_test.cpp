// Replies at the library boundary: the error object for every kind of failure.
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "bridge/json/boundary.hpp"

namespace {

std::string answer(char* reply) {
    std::string text = reply != nullptr ? reply : "(null)";
    std::free(reply);
    return text;
}

TEST(Boundary, FailuresBecomeTheErrorObject) {
    struct Case {
        const char* name;
        void (*fail)();
        const char* reply;
    };
    const Case cases[] = {
        {"standard exception", [] { throw std::runtime_error("Closed engine."); }, "{\"error\":\"Closed engine.\"}"},
        {"message quoting bytes that are not UTF-8", [] { throw std::invalid_argument("last read: '\xff'"); },
         "{\"error\":\"last read: '\xef\xbf\xbd'\"}"},
        {"anything else", [] { throw 42; }, "{\"error\":\"Unknown native failure\"}"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        EXPECT_EQ(answer(mirel::boundary::reply([&]() -> nlohmann::json {
                      test.fail();
                      return nullptr;
                  })),
                  test.reply);
    }
}

TEST(Boundary, RepliesAreCompactSortedAndRawUtf8) {
    EXPECT_EQ(answer(mirel::boundary::reply([] {
                  return nlohmann::json{{"z", 3.0}, {"a", "gr\xc3\xbcn"}, {"m", {1, 2}}};
              })),
              "{\"a\":\"gr\xc3\xbcn\",\"m\":[1,2],\"z\":3.0}");
}

TEST(Boundary, AReplyThatIsNotUtf8FailsAsTheLibraryTypeError) {
    const std::string reply = answer(mirel::boundary::reply([] { return nlohmann::json{{"gpu", "\xff"}}; }));
    EXPECT_EQ(reply.rfind("{\"error\":\"[json.exception.type_error.316]", 0), 0u) << reply;
}

}  // namespace
