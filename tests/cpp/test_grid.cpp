// Tests of grid-search values.
#include "grid.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace trelvo::core;
using V = std::vector<double>;

TEST(GridValues, UpperBoundExcludedAndArithmeticNoiseRounded) {
    EXPECT_EQ(grid_values(0, 1, 0.25), (V{0.0, 0.25, 0.5, 0.75}));
    V tenths = grid_values(0, 1, 0.1);
    ASSERT_EQ(tenths.size(), 10u);
    EXPECT_EQ(tenths[3], 0.3);  // 0.30000000000000004 before rounding
    EXPECT_EQ(grid_values(1, 0, -0.25), (V{1.0, 0.75, 0.5, 0.25}));
    EXPECT_EQ(grid_values(0, 1, -1), V{});
    EXPECT_EQ(grid_values(1, 1, 0.5), V{});
    EXPECT_EQ(grid_values(0, 1e-300, 1e300), V{0.0});  // the quotient underflows
}

TEST(GridValues, ImpossibleGridsAreErrors) {
    auto fault_of = [](double low, double high, double interval) {
        try {
            grid_values(low, high, interval);
        } catch (const GridError& e) {
            return e.fault;
        }
        ADD_FAILURE() << "no error";
        return GridError::Fault::zero_interval;
    };
    double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(fault_of(0, 1, 0), GridError::Fault::zero_interval);
    EXPECT_EQ(fault_of(0, std::nan(""), 1), GridError::Fault::unknown_length);
    EXPECT_EQ(fault_of(0, inf, 1), GridError::Fault::too_large);
}

TEST(RoundDecimals, RoundsHalfToEvenAndKeepsWhatWouldOverflow) {
    EXPECT_EQ(round_decimals(0.30000000000000004, 15), 0.3);
    EXPECT_EQ(round_decimals(2.5, 0), 2.0);
    EXPECT_EQ(round_decimals(1e300, 15), 1e300);
}
