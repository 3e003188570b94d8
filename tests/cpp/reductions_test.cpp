#include "reductions.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
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
  values.reserve(300);
  for (int i = 0; i < 300; ++i) values.push_back(1e9 + (i % 2 == 0 ? 1.0 : -1.0));
  EXPECT_NEAR(variance(values), 1.0, 1e-6);
  EXPECT_NEAR(nanVariance(values), 1.0, 1e-6);
}

TEST(WindowVariances, EqualsTheVarianceOfEachWindowBitForBit) {
  std::vector<double> x;
  std::uint64_t state = 12345;
  for (int i = 0; i < 600; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    x.push_back(1e6 + static_cast<double>(state >> 11) * 0x1p-40);
  }
  for (std::size_t width : {1u, 5u, 8u, 9u, 19u, 43u, 64u, 127u, 128u, 129u, 300u}) {
    std::vector<double> out(x.size() - width + 1);
    windowVariances(x, width, out);
    for (std::size_t i = 0; i < out.size(); ++i) {
      ASSERT_EQ(out[i], variance(std::span<const double>(x).subspan(i, width)))
          << "width " << width << ", window " << i;
    }
  }
}

}  // namespace
}  // namespace lumetra
