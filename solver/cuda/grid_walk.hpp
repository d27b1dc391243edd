#pragma once

#include "solver/cuda/platform.hpp"

namespace mirel {

// One thread's grid-stride walk over the points of an m x m grid: point p = first, then
// first + stride, and so on while p < m * m, as (row, column) = (p / m, p mod m). Only the first
// point is divided by m; the walk then follows by additions, which keeps the loop free of
// integer division.
struct GridWalk {
    unsigned row;
    unsigned column;
    unsigned rowStep;
    unsigned columnStep;
    unsigned m;

    __host__ __device__ bool inside() const { return row < m; }
    __host__ __device__ void next() {
        row += rowStep;
        column += columnStep;
        if (column >= m) {
            column -= m;
            ++row;
        }
    }
};

__host__ __device__ inline GridWalk gridWalk(unsigned first, unsigned stride, unsigned m) {
    return {first / m, first % m, stride / m, stride % m, m};
}

}  // namespace mirel
