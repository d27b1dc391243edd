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

// Decoding follows the well-formed byte sequences of the Unicode standard (no overlong forms, no
// surrogates, nothing above U+10FFFF); where a sequence breaks off, the bytes read so far are
// replaced as one and the byte that broke it is read again as a new start.
std::string asValidUtf8(std::string_view text) {
    constexpr std::string_view replacement = "\xef\xbf\xbd";
    std::string valid;
    valid.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        const auto lead = static_cast<unsigned char>(text[at]);
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xc2 && lead <= 0xdf) {
            length = 2;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            length = 3;
            if (lead == 0xe0) low = 0xa0;
            if (lead == 0xed) high = 0x9f;
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            length = 4;
            if (lead == 0xf0) low = 0x90;
            if (lead == 0xf4) high = 0x8f;
        }
        std::size_t read = 1;
        while (read < length && at + read < text.size()) {
            const auto next = static_cast<unsigned char>(text[at + read]);
            if (next < low || next > high) break;
            low = 0x80;
            high = 0xbf;
            ++read;
        }
        if (length != 0 && read == length)
            valid.append(text.substr(at, length));
        else
            valid.append(replacement);
        at += read;
    }
    return valid;
}

// A message may quote bytes that are not UTF-8 (the JSON library's parse errors quote the text
// they stopped at); those become U+FFFD rather than losing the whole message.
std::string errorText(const std::string& message) { return serialise(nlohmann::json{{"error", asValidUtf8(message)}}); }

}  // namespace mirel::boundary
