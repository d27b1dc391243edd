#pragma once

#include <tuple>

#include "solver/cuda/platform.hpp"

namespace mirel {

// Enqueues kernel on stream with an explicit shape and no dynamic shared memory. Arguments are
// converted to the kernel's parameter types here, as a launch would.
template <typename... P, typename... A>
void launch(void (*kernel)(P...), dim3 grid, dim3 block, cudaStream_t stream, A... args) {
#if defined(QUELLMAR_EMULATOR)
    emu::launch(kernel, grid, block, stream, std::tuple<P...>(args...));
#else
    kernel<<<grid, block, 0, stream>>>(args...);
#endif
}

// Blocks of 16 x 16 threads covering a width x height index space.
inline dim3 tiles(unsigned width, unsigned height) { return dim3((width + 15) / 16, (height + 15) / 16); }
inline const dim3 tile(16, 16);

}  // namespace mirel
