#pragma once

// The driver API entries of libquellmar forward to libcuda.so.1, which is opened at run time and
// never linked; these declarations come from the toolkit's driver header.
#include <cuda.h>
