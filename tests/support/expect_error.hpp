#pragma once

#include <gtest/gtest.h>

#include <string>

namespace test {

// call must throw an Error whose message is exactly message. An exception of another type
// escapes and fails the test, so std::invalid_argument and std::runtime_error are told apart.
template <typename Error, typename Call>
void expectError(Call call, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "no exception, expected: " << message;
    } catch (const Error& error) {
        EXPECT_EQ(error.what(), message);
    }
}

}  // namespace test
