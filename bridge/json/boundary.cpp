#include "bridge/json/boundary.hpp"

#include <cstdlib>
#include <cstring>

namespace mirel::boundary {

std::string serialise(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
}

char* copyString(const std::string& text) {
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

// A message may quote bytes that are not UTF-8 (the JSON library's parse errors quote the text
// they stopped at); those become U+FFFD rather than losing the whole message.
std::string errorText(const std::string& message) {
    return nlohmann::json{{"error", message}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace mirel::boundary
