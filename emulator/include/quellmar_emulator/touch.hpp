#pragma once

namespace emu {

// How an operation uses the device memory that one of its pointers leads into.
enum class Access { read,
                    write };

struct Touch {
  const void* pointer;
  Access access;
};

}  // namespace emu
