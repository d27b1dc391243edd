#pragma once

namespace mirel {

// 2 pi rounded to each precision, the box side of both solvers. The start fields, spacings and
// turnover times are computed from exactly these values.
inline constexpr double twoPi = 6.283185307179586;
inline constexpr float twoPiSingle = 6.2831855f;
static_assert(twoPiSingle == static_cast<float>(twoPi));

}  // namespace mirel
