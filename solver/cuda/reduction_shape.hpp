#pragma once

namespace mirel {

// The one shape of every grid reduction: this many blocks of this many threads, each block
// leaving one partial result per quantity for the host to fold. Host arrays of partials are
// sized by reductionBlocks.
inline constexpr unsigned reductionBlocks = 64;
inline constexpr unsigned reductionThreads = 256;

}  // namespace mirel
