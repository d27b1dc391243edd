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

// Each maximal part of an ill-formed sequence becomes one U+FFFD; the first case is the example
// of the Unicode standard (chapter 3, "U+FFFD Substitution of Maximal Subparts").
TEST(Boundary, TextIsMadeValidUtf8) {
    struct Case {
        const char* name;
        std::string text;
        std::string valid;
    };
    const std::string r = "\xef\xbf\xbd";
    const Case cases[] = {
        {"the standard's example", "\x61\xf1\x80\x80\xe1\x80\xc2\x62\x80\x63\x80\xbf\x64",
         "a" + r + r + r + "b" + r + "c" + r + r + "d"},
        {"well-formed, one to four bytes", "a\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf",
         "a\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf"},
        {"bytes that never start a sequence", "\xff\xfe\xc0\xc1", r + r + r + r},
        {"overlong forms", "\xc0\xaf\xe0\x80\xaf\xf0\x80\x80\xaf", r + r + r + r + r + r + r + r + r},
        {"a surrogate", "\xed\xa0\x80x", r + r + r + "x"},
        {"above U+10FFFF", "\xf4\x90\x80\x80", r + r + r + r},
        {"cut off at the end", "ab\xe2\x82", "ab" + r},
        {"NUL and ASCII kept", std::string("a\0b", 3), std::string("a\0b", 3)},
        {"empty", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(mirel::boundary::asValidUtf8(c.text), c.valid);
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
