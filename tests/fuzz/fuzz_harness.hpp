#pragma once

// What every fuzz target shares: a library initialised in a scratch folder of its own, and a
// guard that keeps fuzzed requests to what a fuzzing run can afford and may do (small grids,
// short runs, small images, files only inside that folder). Everything else about a request is
// left to the library, malformed text included.
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "quellmar/quellmar.h"

namespace fuzz {

inline bool numberAbove(const nlohmann::json& request, const char* key, double limit) {
    const auto it = request.find(key);
    return it != request.end() && it->is_number() && !(it->get<double>() <= limit);
}

inline bool leavesFolder(const nlohmann::json& request, const char* key) {
    const auto it = request.find(key);
    if (it == request.end() || !it->is_string()) return false;
    const std::string path = it->get<std::string>();
    return path.empty() || path.find('/') != std::string::npos || path[0] == '.';
}

// Whether the library may be handed a request, as parsed without exceptions: true for anything
// that is not a JSON object, and for objects within the limits above.
inline bool affordable(const nlohmann::json& request) {
    if (!request.is_object()) return true;
    // A few steps take every path of a step; more would only cost the inputs that other
    // requests could have had.
    if (numberAbove(request, "resolution", 64) || numberAbove(request, "steps", 4) ||
        numberAbove(request, "until", 4) || numberAbove(request, "pixel_size", 256))
        return false;
    for (const char* key : {"initial", "spectrum", "fields", "png"})
        if (leavesFolder(request, key)) return false;
    return true;
}

// A reply of the library, released here: it must be a JSON object, or the run stops as a finding.
inline nlohmann::json replyObject(char* reply) {
    if (reply == nullptr) __builtin_trap();
    nlohmann::json value = nlohmann::json::parse(reply, nullptr, false);
    qm_string_free(reply);
    if (!value.is_object()) __builtin_trap();
    return value;
}

// Initialises the library in a fresh folder of its own, so that whatever a request writes lands
// there. The folder starts with "field.bin", a valid initial vorticity file for a 16 x 16 grid.
inline void initialize() {
    char folder[] = "/tmp/quellmar-fuzz-XXXXXX";
    if (mkdtemp(folder) == nullptr || chdir(folder) != 0) std::abort();
    float field[16 * 16];
    for (int i = 0; i < 16 * 16; ++i) field[i] = static_cast<float>((i * 7) % 13) - 6.0f;
    std::FILE* file = std::fopen("field.bin", "wb");
    if (file == nullptr || std::fwrite(field, sizeof field, 1, file) != 1 || std::fclose(file) != 0) std::abort();
    char* document = qm_initialize(nullptr);
    if (document == nullptr || std::strncmp(document, "{\"error\":", 9) == 0) {
        std::fprintf(stderr, "quellmar fuzzing: %s\n", document != nullptr ? document : "no document");
        std::abort();
    }
    qm_string_free(document);
}

}  // namespace fuzz
