#pragma once

#include <filesystem>

#include <nlohmann/json.hpp>

#include "mirel/solver.hpp"

// Typed readers of request keys, the configuration reader, and the report objects of replies.
// A key counts when it is present and not null.
namespace mirel {

// The request text parsed strictly; anything but an object is refused.
nlohmann::json decode(const char* text);
bool has(const nlohmann::json& value, const char* key);
// A finite number; fallback when the key is absent.
double scalar(const nlohmann::json& value, const char* key, double fallback);
// The index of the key's name in names (count entries); fallback when the key is absent.
int choice(const nlohmann::json& value, const char* key, const char* const* names, int count, int fallback);
template <std::size_t count>
int choice(const nlohmann::json& value, const char* key, const char* const (&names)[count], int fallback) {
    return choice(value, key, names, static_cast<int>(count), fallback);
}
// The key's text as a path, exactly as given; empty when absent.
std::filesystem::path path(const nlohmann::json& value, const char* key);
// The value of a key that counts as soon as it exists, converted by the JSON library itself, so
// that null is a type error there.
template <typename T>
T existing(const nlohmann::json& request, const char* key, T fallback) {
    return request.contains(key) ? request.at(key).get<T>() : fallback;
}
// The JSON library's type error for a value that is not of the expected kind ("number", ...).
[[noreturn]] void wrongType(const nlohmann::json& value, const char* expected);

// base overlaid with the request's configuration keys, validated as the solver would.
Config configuration(const nlohmann::json& request, Config base);

nlohmann::json statsReport(const Statistics& statistics);
nlohmann::json configReport(const Config& config);
// A frame's step count, time, grid size and vorticity and speed figures.
nlohmann::json frameReport(const Frame& frame);

}  // namespace mirel
