#pragma once

// The runtime and the driver number their errors alike and describe them with the same
// words, so both emulated libraries answer from one table.
namespace emu::texts {

struct ErrorText {
  int code;
  const char* name;
  const char* description;
};

// Null when the code is not one the platform defines.
const ErrorText* find(int code);

}  // namespace emu::texts
