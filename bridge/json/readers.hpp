#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

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
// The same for a table of known length, as the kind (an int or an enum) whose values index names.
template <typename Kind, std::size_t count>
Kind choice(const nlohmann::json& value, const char* key, const char* const (&names)[count], Kind fallback) {
    return static_cast<Kind>(choice(value, key, names, static_cast<int>(count), static_cast<int>(fallback)));
}
// A boolean; fallback when the key is absent, the JSON library's type error for another type.
bool flag(const nlohmann::json& value, const char* key, bool fallback);
// A number as a 32-bit int: true and false read as 1 and 0, a floating number is truncated toward
// zero. Nothing when the integer or the truncation lies outside the int range, where the JSON
// library's own conversion would keep the low 32 bits and so turn a huge value into a small valid
// one; the library's type error for any other type.
std::optional<std::int32_t> integer(const nlohmann::json& value);
// The key's text as a path, exactly as given; empty when absent.
std::filesystem::path path(const nlohmann::json& value, const char* key);
// The value of a key that counts as soon as it exists, converted by the JSON library itself, so
// that null is a type error there.
template <typename T>
T existing(const nlohmann::json& request, const char* key, T fallback) {
    return request.contains(key) ? request.at(key).get<T>() : fallback;
}
// An integer key that counts as soon as it exists, read by `integer`: a number beyond the int
// range reads as `refused`, a value that the key's own check turns down.
int existingInteger(const nlohmann::json& request, const char* key, int fallback, int refused);
// The JSON library's type error for a value that is not of the expected kind ("number", ...).
[[noreturn]] void wrongType(const nlohmann::json& value, const char* expected);

// base overlaid with the request's configuration keys, validated as the solver would.
Config configuration(const nlohmann::json& request, Config base);

nlohmann::json statsReport(const Statistics& statistics);
nlohmann::json configReport(const Config& config);
// A frame's step count, time, grid size and vorticity and speed figures.
nlohmann::json frameReport(const Frame& frame);

}  // namespace mirel
