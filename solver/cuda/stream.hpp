#pragma once

#include "solver/cuda/platform.hpp"

namespace mirel {

// A solver's own non-blocking stream; synchronised before it is destroyed.
struct Stream {
    cudaStream_t value = nullptr;
    Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream();
};

}  // namespace mirel
