#include "all_frames.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace lumetra {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using Parts = std::vector<Partition>;

// Levels 0 and 10 with +-1 alternating noise; the step at frame `step`.
std::vector<double> stepTrace(std::size_t frames, std::size_t step) {
  std::vector<double> y(frames);
  for (std::size_t i = 0; i < frames; ++i) y[i] = (i >= step ? 10.0 : 0.0) + (i % 2 ? 1.0 : -1.0);
  return y;
}

TEST(RangeCosts, SumsOfSquaresSkipNaNAndKeepPrecisionOnLargeOffsets) {
  const std::vector<double> y = {1e9 + 1, 1e9 + 3, kNaN, 1e9 + 5, 1e9 + 7};
  const RangeCosts costs(y);
  EXPECT_EQ(costs.frames(), 5u);
  EXPECT_EQ(costs.count(0, 5), 4u);
  EXPECT_DOUBLE_EQ(costs.mean(0, 5), 1e9 + 4);
  EXPECT_NEAR(costs.rss(0, 5), 20.0, 1e-6);  // 9 + 1 + 1 + 9
  EXPECT_NEAR(costs.rssAbout(0, 2, 1e9), 10.0, 1e-6);
  EXPECT_EQ(costs.rss(2, 3), 0.0);
  EXPECT_TRUE(std::isnan(costs.mean(2, 3)));
  EXPECT_THROW((void)costs.rss(3, 6), std::out_of_range);
  EXPECT_THROW((void)costs.count(3, 2), std::out_of_range);
}

TEST(AllFramesBic, MergingJoinsIndistinguishableNeighboursOnACopy) {
  // Means 10, 10.5, 20, 20.2, each with standard deviation 1.
  std::vector<double> y;
  for (double level : {10.0, 10.5, 20.0, 20.2}) {
    for (int i = 0; i < 100; ++i) y.push_back(level + (i % 2 ? 1.0 : -1.0));
  }
  const Parts parts = {{0, 94, 0}, {106, 194, 1}, {206, 294, 2}, {306, 400, 3}};
  EXPECT_EQ(mergedPartitions(RangeCosts(y), parts), (Parts{{0, 194, 0}, {206, 400, 2}}));
  EXPECT_EQ(parts.size(), 4u);
}

TEST(AllFramesBic, StretchesSplitAtTheirLeastSquaresPointAndEdgesJoinTheirNeighbours) {
  const std::vector<double> y = stepTrace(30, 13);
  const RangeCosts costs(y);
  EXPECT_EQ(coveringSegments(costs, Parts{{2, 8, 0}, {18, 25, 1}}),
            (Parts{{0, 13, 0}, {13, 30, 1}}));
  // A partition without a frame that counts is dropped.
  std::vector<double> holes = y;
  for (int i = 9; i < 12; ++i) holes[i] = kNaN;
  EXPECT_EQ(coveringSegments(RangeCosts(holes), Parts{{2, 8, 0}, {9, 12, 1}, {18, 25, 2}}),
            (Parts{{0, 13, 0}, {13, 30, 2}}));
  EXPECT_TRUE(coveringSegments(costs, Parts{}).empty());
}

TEST(AllFramesBic, ScoresEveryFrameWhateverTheWidthOfTheStretches) {
  // Two segments of 1, 3, 1, 3 and 10, 12, 10, 12: N = 8, RSS = 8, K = 2.
  const std::vector<double> y = {1, 3, 1, 3, 10, 12, 10, 12};
  EXPECT_DOUBLE_EQ(segmentsBic(RangeCosts(y), Parts{{0, 4, 0}, {4, 8, 1}}), 3 * std::log(8.0));

  // Narrow and wide stretches around the same step score the same: excluding frames gains
  // nothing.
  const std::vector<double> trace = stepTrace(100, 50);
  const double narrow = allFramesBic(trace, Parts{{0, 49, 0}, {51, 100, 1}});
  EXPECT_DOUBLE_EQ(allFramesBic(trace, Parts{{0, 30, 0}, {70, 100, 1}}), narrow);
  // A split inside a level is merged away before scoring.
  EXPECT_DOUBLE_EQ(allFramesBic(trace, Parts{{0, 20, 0}, {22, 49, 1}, {51, 100, 2}}), narrow);
  // Missing the step costs far more.
  EXPECT_LT(narrow + 100, allFramesBic(trace, Parts{{0, 100, 0}}));
}

TEST(AllFramesBic, RefusesWhatItCannotScore) {
  const std::vector<double> y = stepTrace(20, 10);
  EXPECT_THROW(allFramesBic(y, Parts{{5, 10, 0}, {8, 20, 1}}), std::invalid_argument);
  EXPECT_THROW(allFramesBic(y, Parts{{0, 25, 0}}), std::invalid_argument);
  EXPECT_THROW(allFramesBic(y, Parts{}), std::domain_error);
  const std::vector<double> nan(10, kNaN);
  EXPECT_THROW(allFramesBic(nan, Parts{{0, 10, 0}}), std::domain_error);
  // A perfect fit scores minus infinity.
  EXPECT_EQ(allFramesBic(std::vector<double>(10, 2.0), Parts{{0, 10, 0}}),
            -std::numeric_limits<double>::infinity());
}

}  // namespace
}  // namespace lumetra
