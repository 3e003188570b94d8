#include "merge.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <vector>

namespace lumetra {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using Values = std::vector<double>;
using Flags = std::vector<bool>;

TEST(MergeFlags, ChainsJoinWholeOnTheGivenStatistics) {
  // 0 and 3 lie 3 apart, yet each neighbour is within 1.5 of the one before it
  EXPECT_EQ(mergeFlags(Values{0, 1, 2, 3}, Values{1.5, 1.5, 1.5, 1.5}), (Flags{0, 1, 1, 1}));
  // the example of means 10, 10.5, 20, 20.2 with deviation 1
  EXPECT_EQ(mergeFlags(Values{10, 10.5, 20, 20.2}, Values{1, 1, 1, 1}), (Flags{0, 1, 0, 1}));
}

TEST(MergeFlags, DifferenceEqualToTheLargerDeviationJoins) {
  EXPECT_EQ(mergeFlags(Values{1, 2}, Values{1, 0}), (Flags{0, 1}));
  EXPECT_EQ(mergeFlags(Values{2, 1}, Values{0, 1}), (Flags{0, 1}));
  EXPECT_EQ(mergeFlags(Values{1, 2.0000001}, Values{1, 0}), (Flags{0, 0}));
  EXPECT_EQ(mergeFlags(Values{0, 1.5}, Values{0.5, 2}), (Flags{0, 1}));
}

TEST(MergeFlags, NaNStatisticsNeverJoin) {
  EXPECT_EQ(mergeFlags(Values{5, kNaN, 5}, Values{1, kNaN, 1}), (Flags{0, 0, 0}));
  EXPECT_EQ(mergeFlags(Values{kNaN, kNaN}, Values{kNaN, kNaN}), (Flags{0, 0}));
}

TEST(MergeFlags, TheFirstPartitionIsNeverFlagged) {
  EXPECT_EQ(mergeFlags(Values{7}, Values{100}), (Flags{0}));
  EXPECT_EQ(mergeFlags(Values{}, Values{}), Flags{});
  EXPECT_EQ(mergeFlags(Values{3, 3, 3}, Values{0, 0, 0}), (Flags{0, 1, 1}));
  EXPECT_THROW(mergeFlags(Values{1, 2}, Values{1}), std::invalid_argument);
}

}  // namespace
}  // namespace lumetra
