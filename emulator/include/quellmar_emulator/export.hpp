#pragma once

// Symbols of the emulator library that the product and the tests link against.
#define QM_EMULATOR_API __attribute__((visibility("default")))
