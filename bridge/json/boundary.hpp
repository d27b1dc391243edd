#pragma once

#include <exception>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// How every exported function of libquellmar hands JSON across the library boundary.
namespace mirel::boundary {

// Compact text with raw UTF-8; an invalid UTF-8 string throws the JSON library's type error.
std::string serialise(const nlohmann::json& value);

// A malloc'ed, NUL-terminated copy for the host, or null when malloc fails.
char* copyString(const std::string& text);

// text with every maximal ill-formed UTF-8 subsequence replaced by U+FFFD. Messages that quote
// the outside world (paths, loader texts, device names) pass through it where they are stored,
// so that every reply holding them serialises.
std::string asValidUtf8(std::string_view text);

// The serialised {"error": message} object, the message made valid UTF-8.
std::string errorText(const std::string& message);

inline constexpr const char* unknownFailure = "{\"error\":\"Unknown native failure\"}";

// Runs work, which returns the reply object, and hands the host its serialised copy; a thrown
// std::exception becomes the error object. Never throws.
template <typename Work>
char* reply(Work&& work) noexcept {
    try {
        try {
            return copyString(serialise(work()));
        } catch (const std::exception& failure) {
            return copyString(errorText(failure.what()));
        }
    } catch (...) {
        return copyString(unknownFailure);
    }
}

}  // namespace mirel::boundary
