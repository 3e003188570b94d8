#include "hmm_start.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "hmm_testing.hpp"

namespace lumetra {
namespace {

TEST(HmmStart, KMeansGroupsWeightedLevels) {
  // Segment levels around 0.3 and 0.7; the long segment at 0.32 pulls its group.
  const std::vector<double> levels{0.29, 0.31, 0.32, 0.69, 0.71, NAN};
  const std::vector<double> lengths{10, 10, 80, 50, 50, 99};
  const auto two = kMeansLevels(levels, lengths, 2);
  ASSERT_EQ(two.size(), 2U);
  EXPECT_NEAR(two[0], (2.9 + 3.1 + 25.6) / 100, 1e-12);
  EXPECT_NEAR(two[1], 0.70, 1e-12);
  // More states than groups: finite, ascending centres.
  const auto many = kMeansLevels(std::vector<double>{1, 1, 2}, std::vector<double>{1, 1, 1}, 4);
  for (double c : many) EXPECT_TRUE(std::isfinite(c));
  EXPECT_TRUE(std::is_sorted(many.begin(), many.end()));
  EXPECT_THROW(kMeansLevels(levels, std::vector<double>(6, 0.0), 2), std::invalid_argument);
  EXPECT_EQ(nearestStates(std::vector<double>{0.2, 0.8, NAN, 0.51}, two),
            (std::vector<std::size_t>{0, 1, 0, 1}));
}

TEST(HmmStart, ModelCountedFromPathsWithAnEmptyStateAndReordered) {
  const std::vector<std::vector<double>> traces{{0.1, 0.1, 0.9, 0.9, 0.9, 0.1}};
  const std::vector<std::vector<std::size_t>> paths{{0, 0, 1, 1, 1, 0}};
  const std::vector<double> centres{0.0, 1.0, 5.0};
  const HmmModel m = modelFromPaths(hmmtest::spans(traces), paths, centres, true);
  EXPECT_NEAR(m.means[0], 0.1, 1e-15);
  EXPECT_NEAR(m.means[1], 0.9, 1e-15);
  EXPECT_EQ(m.means[2], 5.0);  // no frame: its centre
  for (double s : m.spreads) EXPECT_GT(s, 0);
  // Row 0: 0->0 once, 0->1 once, plus one pseudo-count each: (2, 2, 1) / 5.
  EXPECT_NEAR(m.transition[0], 0.4, 1e-15);
  EXPECT_NEAR(m.transition[1], 0.4, 1e-15);
  EXPECT_NEAR(m.transition[2], 0.2, 1e-15);
  EXPECT_NEAR(m.transition[8], 1.0 / 3, 1e-15);  // empty state: pseudo-counts only
  EXPECT_NEAR(m.start[0], 0.5, 1e-15);
  EXPECT_THROW(modelFromPaths(hmmtest::spans(traces), {{0, 0, 3, 1, 1, 0}}, centres, true),
               std::invalid_argument);

  HmmModel swapped{{0.7, 0.3}, {0.1, 0.2}, {0.9, 0.1}, {0.8, 0.2, 0.4, 0.6}};
  const HmmModel ordered = orderedByMean(swapped);
  EXPECT_EQ(ordered.means, (std::vector<double>{0.3, 0.7}));
  EXPECT_EQ(ordered.spreads, (std::vector<double>{0.2, 0.1}));
  EXPECT_EQ(ordered.start, (std::vector<double>{0.1, 0.9}));
  EXPECT_EQ(ordered.transition, (std::vector<double>{0.6, 0.4, 0.2, 0.8}));
}

}  // namespace
}  // namespace lumetra
