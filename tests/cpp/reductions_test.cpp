#include "reductions.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace lumetra {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Expected values are what numpy.add.reduce returns for the same arrays.
TEST(PairwiseSum, FollowsNumpysSummationOrder) {
  // 0.1 summed sequentially 10 times gives 0.9999999999999999; numpy's blocks of eight
  // give exactly 1.0.
  std::vector<double> tenth(10, 0.1);
  EXPECT_EQ(pairwiseSum(tenth), 1.0);
  std::vector<double> many(1000, 0.1);
  EXPECT_EQ(pairwiseSum(many), 100.00000000000001);  // a plain loop gives 99.9999999999986
  std::vector<double> few{1e16, 1.0, -1e16};
  EXPECT_EQ(pairwiseSum(few), 0.0);
  EXPECT_EQ(pairwiseSum({}), 0.0);
}

TEST(Mean, PropagatesNaNAndIsNaNWhenEmpty) {
  std::vector<double> values{1.0, 2.0, 6.0};
  EXPECT_EQ(mean(values), 3.0);
  EXPECT_EQ(variance(values), 14.0 / 3.0);
  std::vector<double> withNaN{1.0, kNaN, 6.0};
  EXPECT_TRUE(std::isnan(mean(withNaN)));
  EXPECT_TRUE(std::isnan(variance(withNaN)));
  EXPECT_TRUE(std::isnan(mean({})));
  EXPECT_TRUE(std::isnan(variance({})));
}

TEST(NanMean, LeavesNaNOut) {
  std::vector<double> withNaN{1.0, kNaN, 6.0, kNaN, 2.0};
  EXPECT_EQ(countNotNaN(withNaN), 3u);
  EXPECT_EQ(nanMean(withNaN), 3.0);
  EXPECT_EQ(nanVariance(withNaN), 14.0 / 3.0);
  std::vector<double> allNaN{kNaN, kNaN};
  EXPECT_TRUE(std::isnan(nanMean(allNaN)));
  EXPECT_TRUE(std::isnan(nanVariance(allNaN)));
}

TEST(Variance, StaysExactForLargeOffsets) {
  // Two-pass variance: an offset of 1e9 must not swamp a spread of 1.
  std::vector<double> values;
  for (int i = 0; i < 300; ++i) values.push_back(1e9 + (i % 2 == 0 ? 1.0 : -1.0));
  EXPECT_NEAR(variance(values), 1.0, 1e-6);
  EXPECT_NEAR(nanVariance(values), 1.0, 1e-6);
}

}  // namespace
}  // namespace lumetra
