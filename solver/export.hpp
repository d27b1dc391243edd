#pragma once

// Marks the few symbols that libquellmar exports; everything else stays hidden.
#define QM_EXPORT __attribute__((visibility("default")))
