#include "pairs.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

namespace lumetra {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using Pairs = std::vector<Pair>;

TEST(GenPairs, BracketsRunsAboveTheThreshold) {
  EXPECT_EQ(genPairs(std::vector<double>{}, 1), Pairs{});
  EXPECT_EQ(genPairs(std::vector<double>{5}, 1), Pairs{});
  EXPECT_EQ(genPairs(std::vector<double>{0, 0, 5, 5, 0, 0}, 1), (Pairs{{1, 4, 0}}));
  // Above the threshold from the start: the pair opens at 0.
  EXPECT_EQ(genPairs(std::vector<double>{5, 5, 0, 0}, 1), (Pairs{{0, 2, 0}}));
  // Still above at the end: the last index closes the pair.
  EXPECT_EQ(genPairs(std::vector<double>{0, 5, 5, 5}, 1), (Pairs{{0, 3, 0}}));
  // Never crossing opens nothing.
  EXPECT_EQ(genPairs(std::vector<double>{5, 5, 5}, 1), Pairs{});
}

TEST(GenPairs, ValuesEqualToTheThresholdNeitherOpenNorClose) {
  // Falling onto the threshold is no crossing; the run ends only below it.
  EXPECT_EQ(genPairs(std::vector<double>{0, 5, 1, 0}, 1), (Pairs{{0, 3, 0}}));
  // A falling crossing before any pair exists opens at 0.
  EXPECT_EQ(genPairs(std::vector<double>{0, 1, 1, 0}, 1), (Pairs{{0, 3, 0}}));
  // After the first pair, a falling crossing without an open pair changes nothing.
  EXPECT_EQ(genPairs(std::vector<double>{0, 5, 0, 0, 0, 1, 0}, 1), (Pairs{{0, 2, 0}}));
}

TEST(GenPairs, NaNHidesCrossings) {
  EXPECT_EQ(genPairs(std::vector<double>{0, 5, kNaN, 0, 0, 0}, 1), (Pairs{{0, 5, 0}}));
  EXPECT_EQ(genPairs(std::vector<double>{0, 5, 0, 5, 0}, kNaN), Pairs{});
}

TEST(GenPairs, MergesNeighboursCloserThanTwoAndKeepsTheirNumbers) {
  // Raw pairs [0, 2, 0], [2, 4, 1], [6, 8, 2]: the first two merge (gap 0), the third stays.
  EXPECT_EQ(genPairs(std::vector<double>{0, 5, 0, 5, 0, 0, 0, 5, 0}, 1),
            (Pairs{{0, 4, 0}, {6, 8, 2}}));
  EXPECT_EQ(genPairs(std::vector<double>{0, 5, 0, 0, 5, 0}, 1), (Pairs{{0, 5, 0}}));
  EXPECT_EQ(genPairs(std::vector<double>{0, 5, 0, 0, 0, 5, 0}, 1), (Pairs{{0, 2, 0}, {4, 6, 1}}));
  // A chain of close runs collapses into the first pair.
  EXPECT_EQ(genPairs(std::vector<double>{0, 5, 0, 5, 0, 5, 0, 0, 0, 5, 0}, 1),
            (Pairs{{0, 6, 0}, {8, 10, 3}}));
}

TEST(GenPairs, RandomSeriesGiveOrderedSeparatedPairs) {
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> value(0.0, 1.0);
  for (int trial = 0; trial < 500; ++trial) {
    std::vector<double> data(1 + trial % 60);
    for (double& v : data) v = value(rng) < 0.1 ? kNaN : std::round(value(rng) * 4);
    const Pairs pairs = genPairs(data, 2);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      EXPECT_LT(pairs[i].start, pairs[i].end);
      EXPECT_GE(pairs[i].start, 0);
      EXPECT_LT(pairs[i].end, static_cast<std::ptrdiff_t>(data.size()));
      if (i > 0) {
        EXPECT_GE(pairs[i].start - pairs[i - 1].end, 2);
        EXPECT_GT(pairs[i].seq, pairs[i - 1].seq);
      }
    }
  }
}

TEST(ChainFilters, DerivesTheMinimumWidthFromTheHalfWindow) {
  EXPECT_EQ(pairWidthLimit(1, 0), 0.0);
  EXPECT_EQ(pairWidthLimit(2, 0), 0.5);
  EXPECT_EQ(pairWidthLimit(3, 0), 1.0);
  EXPECT_EQ(pairWidthLimit(5, 0), 1.0);
  EXPECT_EQ(pairWidthLimit(7, 0), 2.0);
  EXPECT_EQ(pairWidthLimit(9, 0), 3.0);
  EXPECT_EQ(pairWidthLimit(11, 0), 4.0);
  EXPECT_EQ(pairWidthLimit(11, 2.5), 2.5);
}

TEST(ChainFilters, KeepsWidePairsUnchangedAndInOrder) {
  const Pairs pairs{{0, 2, 0}, {5, 9, 1}, {12, 13, 4}};
  EXPECT_EQ(chainFilters(pairs, 5), (Pairs{{0, 2, 0}, {5, 9, 1}, {12, 13, 4}}));
  EXPECT_EQ(chainFilters(pairs, 5, 3), (Pairs{{5, 9, 1}}));
  EXPECT_EQ(chainFilters(pairs, 9), (Pairs{{5, 9, 1}}));
  EXPECT_EQ(chainFilters(pairs, 5, kNaN), Pairs{});
  const std::vector<double> widths{2, 4, 1};
  EXPECT_EQ(widePairPositions(widths, 7, 0), (std::vector<std::size_t>{0, 1}));
}

TEST(GenPartitions, CutsTheTraceBetweenPairs) {
  EXPECT_EQ(genPartitions(Pairs{}, 5, 100), std::vector<Partition>{});
  EXPECT_EQ(genPartitions(Pairs{{10, 20, 0}, {40, 50, 1}}, 5, 100),
            (std::vector<Partition>{{0, 15, 0}, {25, 45, 1}, {55, 100, 2}}));
  // Numbers are the partitions' own, whatever the pairs carry.
  EXPECT_EQ(genPartitions(Pairs{{10, 20, 3}}, 0, 100),
            (std::vector<Partition>{{0, 10, 0}, {20, 100, 1}}));
}

TEST(GenPartitions, ExtendsTheLastPartitionWhenTheLastPairReachesTheLastWindow) {
  // 100 frames, window length 11: the last window position is 89.
  EXPECT_EQ(genPartitions(Pairs{{10, 20, 0}, {40, 89, 1}}, 5, 100),
            (std::vector<Partition>{{0, 15, 0}, {25, 100, 1}}));
  EXPECT_EQ(genPartitions(Pairs{{10, 20, 0}, {40, 88, 1}}, 5, 100),
            (std::vector<Partition>{{0, 15, 0}, {25, 45, 1}, {93, 100, 2}}));
  EXPECT_EQ(genPartitions(Pairs{{10, 95, 0}}, 5, 100), (std::vector<Partition>{{0, 100, 0}}));
}

TEST(GenPartitions, HalfWindowsNearTheIndexLimits) {
  constexpr std::ptrdiff_t kMax = std::numeric_limits<std::ptrdiff_t>::max();
  // The window length 2 * halfWinLen + 1 leaves the index range, the partitions do not.
  EXPECT_EQ(genPartitions(Pairs{{10, 20, 0}}, kMax / 2 + 1, 100),
            (std::vector<Partition>{{0, 100, 0}}));
  EXPECT_EQ(genPartitions(Pairs{{10, 20, 0}}, -kMax, 100),
            (std::vector<Partition>{{0, 10 - kMax, 0}, {20 - kMax, 100, 1}}));
  // A frame that itself leaves the range is refused.
  EXPECT_THROW(genPartitions(Pairs{{10, 20, 0}}, kMax - 5, 100), std::overflow_error);
  EXPECT_THROW(genPartitions(Pairs{{-10, 20, 0}}, -kMax, 100), std::overflow_error);
}

}  // namespace
}  // namespace lumetra
