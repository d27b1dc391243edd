#pragma once

// Marks the few symbols that libquellmar exports; everything else stays hidden.
#define QM_EXPORT __attribute__((visibility("default")))

// Keeps a member type of an exported class out of the library's interface.
#define QM_HIDDEN __attribute__((visibility("hidden")))
