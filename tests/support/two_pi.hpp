#pragma once

// 2 pi for the tests' own reference values, written out here rather than taken from the product.
namespace test {

inline constexpr double twoPi = 6.283185307179586;
// The product rounds it to single precision where its start fields do; their models do the same.
inline constexpr float twoPiSingle = 6.2831855f;

}  // namespace test
