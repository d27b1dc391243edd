#pragma once

#include <cstdlib>
#include <optional>

namespace emu {

// An integer environment variable; empty, unset or malformed values read as absent.
inline std::optional<long> environmentNumber(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return std::nullopt;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0') return std::nullopt;
  return value;
}

}  // namespace emu
