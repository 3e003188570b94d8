#include "criterion.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

namespace lumetra {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

const std::vector<double> kTwoLevels{1, 3, 1, 3, 10, 12, 10, 12};
const std::vector<Partition> kTwoParts{{0, 4, 0}, {4, 8, 1}};

TEST(InPeakList, IntervalsAreClosed) {
  const std::vector<PeakBounds> peaks{{5, 9}};
  EXPECT_TRUE(inPeakList(5, peaks));
  EXPECT_TRUE(inPeakList(9, peaks));
  EXPECT_FALSE(inPeakList(10, peaks));
  EXPECT_FALSE(inPeakList(4.5, peaks));
  EXPECT_FALSE(inPeakList(5, std::vector<PeakBounds>{}));
  EXPECT_FALSE(inPeakList(5, std::vector<PeakBounds>{{9, 5}, {kNaN, 10}}));
}

TEST(PeakIndex, MergesOverlappingAndAdjacentIntervals) {
  const std::vector<PeakBounds> peaks{{10, 12}, {2.5, 4}, {13, 15}, {3, 3.5}, {20, 19}, {kNaN, 30}};
  const PeakIndex index(peaks);
  using Intervals = std::vector<std::pair<std::ptrdiff_t, std::ptrdiff_t>>;
  EXPECT_EQ(index.intervals(), (Intervals{{3, 4}, {10, 15}}));
  const PeakIndex open(std::vector<PeakBounds>{{-kInf, -3}, {kInf, kInf}, {7, kInf}});
  EXPECT_TRUE(open.contains(std::numeric_limits<std::ptrdiff_t>::min()));
  EXPECT_TRUE(open.contains(-3));
  EXPECT_FALSE(open.contains(0));
  EXPECT_TRUE(open.contains(std::numeric_limits<std::ptrdiff_t>::max()));
}

TEST(PeakIndex, AgreesWithTheLinearScanOnEveryFrame) {
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> bound(-20.0, 120.0);
  std::uniform_int_distribution<int> count(0, 12);
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<PeakBounds> peaks(static_cast<std::size_t>(count(rng)));
    for (PeakBounds& p : peaks) {
      p.lo = bound(rng);
      p.hi = p.lo + bound(rng) / 4;  // some reversed
      if (trial % 2 == 0) p = {std::round(p.lo), std::round(p.hi)};
    }
    const PeakIndex index(peaks);
    for (std::ptrdiff_t frame = -30; frame <= 130; ++frame) {
      ASSERT_EQ(index.contains(frame), inPeakList(static_cast<double>(frame), peaks))
          << "trial " << trial << " frame " << frame;
    }
    const auto& merged = index.intervals();
    for (std::size_t i = 1; i < merged.size(); ++i) {
      EXPECT_GT(merged[i].first, merged[i - 1].second + 1);
    }
  }
}

TEST(Xic, ScoresTheWorkedExamples) {
  // K = 6, N = 8, RSS = 8: 6 * log2(8) + 8 * ln(1).
  EXPECT_DOUBLE_EQ(xic(kTwoParts, kTwoLevels, std::vector<Pair>{}), 18.0);
  // Frames 3 and 4 left out: K = 8, N = 6, RSS = 16 / 3.
  const double score = xic(kTwoParts, kTwoLevels, std::vector<Pair>{{3, 4, 0}});
  EXPECT_NEAR(score, 24.0 + 6.0 * std::log(8.0 / 9.0), 1e-12);
  EXPECT_NEAR(score, 23.2933, 5e-5);
}

TEST(Xic, FailsWhenNoFrameIsLeft) {
  EXPECT_THROW(xic(std::vector<Partition>{}, kTwoLevels, std::vector<Pair>{}), std::domain_error);
  EXPECT_THROW(xic(kTwoParts, kTwoLevels, std::vector<Pair>{{0, 8, 0}}), std::domain_error);
  EXPECT_THROW(xic(std::vector<Partition>{{5, 5, 0}, {6, 2, 1}}, kTwoLevels, std::vector<Pair>{}),
               std::domain_error);
}

TEST(Xic, ConstantSegmentsScoreMinusInfinityAndNaNPropagates) {
  const std::vector<double> flat{2, 2, 2, 5, 5};
  EXPECT_EQ(xic(std::vector<Partition>{{0, 3, 0}, {3, 5, 1}}, flat, std::vector<Pair>{}), -kInf);
  const std::vector<double> withNaN{1, kNaN, 1, 3, 10, 12, 10, 12};
  EXPECT_TRUE(std::isnan(xic(kTwoParts, withNaN, std::vector<Pair>{})));
  // Leaving the NaN frame out of the residuals restores a finite score.
  EXPECT_TRUE(std::isfinite(xic(kTwoParts, withNaN, std::vector<Pair>{{1, 1, 0}})));
}

TEST(Xic, OnlyUsedFramesMustLieInTheTrace) {
  EXPECT_THROW(xic(std::vector<Partition>{{4, 9, 0}}, kTwoLevels, std::vector<Pair>{}),
               std::out_of_range);
  EXPECT_THROW(xic(std::vector<Partition>{{-1, 3, 0}}, kTwoLevels, std::vector<Pair>{}),
               std::out_of_range);
  // Frames inside a peak are never read.
  EXPECT_NO_THROW(xic(std::vector<Partition>{{4, 9, 0}}, kTwoLevels, std::vector<Pair>{{8, 8, 0}}));
}

TEST(PartitionResiduals, LeavesOutTheFramesOfThePeaks) {
  const PeakIndex peak(std::vector<PeakBounds>{{4, 4}});
  const Residuals r =
      partitionResiduals(kTwoLevels, std::vector<Partition>{{2, 5, 0}, {6, 8, 1}}, peak);
  EXPECT_EQ(r.used, 4u);
  EXPECT_DOUBLE_EQ(r.rss, 2.0 + 2.0);  // {1, 3} and {10, 12} about their means
  EXPECT_THROW(informationCriterion(Residuals{}, 1, 0, 8), std::domain_error);
}

TEST(PartitionResiduals, AgreesWithAskingFrameByFrame) {
  std::vector<double> trace(60);
  for (std::size_t i = 0; i < trace.size(); ++i) trace[i] = static_cast<double>((i * 37) % 11);
  const std::vector<PeakBounds> peaks{{3, 5}, {5, 9}, {20, 20}, {21, 22}, {40, 70}, {-5, 0}};
  const PeakIndex index(peaks);
  const std::vector<Partition> parts{{0, 12, 0}, {12, 30, 1}, {30, 41, 2}, {45, 50, 3}};
  Residuals expected;
  for (const Partition& p : parts) {
    std::vector<double> used;
    for (std::ptrdiff_t f = p.start; f < p.end; ++f) {
      if (!inPeakList(static_cast<double>(f), peaks)) used.push_back(trace[f]);
    }
    if (used.empty()) continue;
    double m = 0;
    for (double v : used) m += v;
    m /= static_cast<double>(used.size());
    for (double v : used) expected.rss += (v - m) * (v - m);
    expected.used += used.size();
  }
  const Residuals r = partitionResiduals(trace, parts, index);
  EXPECT_EQ(r.used, expected.used);
  EXPECT_NEAR(r.rss, expected.rss, 1e-9);
}

}  // namespace
}  // namespace lumetra
