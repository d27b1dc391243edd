// A thread's walk over a grid by additions visits exactly the points that p / m and p mod m give.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "solver/cuda/grid_walk.hpp"

namespace {

struct Walk {
    unsigned first, stride, m;
};

// Strides below, equal to and far above the row length; starts in the first row and beyond it.
const Walk walks[] = {
    {0, 1, 5},
    {3, 7, 5},
    {4, 5, 5},
    {0, 16384, 96},
    {16383, 16384, 240},
    {255, 16384, 24},
    {100, 16384, 1536},
    {7, 3, 2},
};

TEST(GridWalk, VisitsThePointsOfTheDivisionInOrder) {
    for (const Walk& w : walks) {
        SCOPED_TRACE(testing::Message() << "first " << w.first << ", stride " << w.stride << ", m " << w.m);
        std::vector<std::pair<unsigned, unsigned>> expected, walked;
        for (unsigned p = w.first; p < w.m * w.m; p += w.stride) expected.emplace_back(p / w.m, p % w.m);
        for (mirel::GridWalk walk = mirel::gridWalk(w.first, w.stride, w.m); walk.inside(); walk.next())
            walked.emplace_back(walk.row, walk.column);
        EXPECT_EQ(walked, expected);
    }
}

}  // namespace
