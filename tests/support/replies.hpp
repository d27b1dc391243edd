#pragma once

// Replies of the exported functions as the host sees them: strings to take over and release,
// the error object, and the JSON library's own messages to compare with.
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "quellmar/quellmar.h"

namespace test {

using nlohmann::json;

// The text of a string the library returned, released here; "(null)" for a null pointer.
inline std::string taken(char* reply) {
    if (reply == nullptr) return "(null)";
    std::string text = reply;
    qm_string_free(reply);
    return text;
}

// The "error" text of a reply, empty when the call succeeded.
inline std::string errorOf(const json& reply) { return reply.contains("error") ? reply["error"].get<std::string>() : ""; }

// A reply, with its error raised as an exception, the way a caller that stops at the first
// failure takes it.
inline json succeeded(const std::string& text) {
    json reply = json::parse(text);
    if (reply.is_object() && reply.contains("error")) throw std::runtime_error(reply["error"].get<std::string>());
    return reply;
}

inline bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The message the JSON library gives for text it cannot read.
inline std::string parseMessage(const char* text) {
    try {
        return "(parsed " + json::parse(text).dump() + ")";
    } catch (const json::exception& error) {
        return error.what();
    }
}

}  // namespace test
