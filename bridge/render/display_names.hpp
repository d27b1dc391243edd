#pragma once

// The request names of the index fields of mirel::Display, in index order.
namespace mirel {

inline constexpr const char* fieldNames[] = {"vorticity", "speed", "enstrophy"};
inline constexpr const char* paletteNames[] = {"aurora", "ember", "glacier", "inferno"};
inline constexpr const char* rangeNames[] = {"sigma", "exposure"};

}  // namespace mirel
