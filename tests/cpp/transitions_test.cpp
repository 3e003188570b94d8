#include "transitions.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace lumetra {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using Frames = std::vector<std::size_t>;

TEST(ScanMinimum, KeepsALeadingNaNAndPassesOverLaterOnes) {
  EXPECT_EQ(scanMinimum(std::vector<double>{0.8, 0.2, 0.5}), 0.2);
  EXPECT_EQ(scanMinimum(std::vector<double>{0.8, kNaN, 0.5}), 0.5);
  EXPECT_TRUE(std::isnan(scanMinimum(std::vector<double>{kNaN, 0.2, 0.5})));
  EXPECT_EQ(scanMinimum(std::vector<double>{-kInf, 3.0}), -kInf);
  EXPECT_THROW(scanMinimum(std::vector<double>{}), std::invalid_argument);
}

TEST(LowestLevel, StartsFromOneAndTakesTheSmallestTraceMinimum) {
  EXPECT_EQ(lowestLevel(std::vector<std::vector<double>>{}), 1.0);
  EXPECT_EQ(lowestLevel(std::vector<std::vector<double>>{{1.5, 2.0}, {3.0}}), 1.0);
  EXPECT_EQ(lowestLevel(std::vector<std::vector<double>>{{0.8, 0.5}, {0.9, 0.1, 0.3}}), 0.1);
  EXPECT_EQ(lowestLevel(std::vector<std::vector<double>>{{0.8, -0.4}, {0.2}}), -0.4);
  // A trace whose minimum comes out NaN takes no part.
  EXPECT_EQ(lowestLevel(std::vector<std::vector<double>>{{kNaN, 0.1}, {0.6}}), 0.6);
  EXPECT_THROW(lowestLevel(std::vector<std::vector<double>>{{0.5}, {}}), std::invalid_argument);
}

TEST(TailThreshold, OneOrMoreStandsForTheMagnitudeOfTheLowestLevel) {
  EXPECT_EQ(tailThreshold(1.0, 0.2), 0.2);
  EXPECT_EQ(tailThreshold(7.0, -0.3), 0.3);
  EXPECT_EQ(tailThreshold(0.5, 0.2), 0.5);
  EXPECT_EQ(tailThreshold(0.999, 0.2), 0.999);
  EXPECT_EQ(tailThreshold(kNoTailTrimming, 0.2), kNoTailTrimming);
  EXPECT_TRUE(std::isnan(tailThreshold(kNaN, 0.2)));
}

TEST(ScanTrace, FindsEachLevelChangeWithoutTrimming) {
  const std::vector<double> levels = {0.2, 0.2, 0.8, 0.8, 0.8, 0.2};
  const TraceTransitions t = scanTrace(levels, kNoTailTrimming);
  EXPECT_EQ(t.tailStart, -1);
  EXPECT_EQ(t.frames, (Frames{2, 5}));

  EXPECT_EQ(scanTrace(std::vector<double>{0.4, 0.4, 0.4}, kNoTailTrimming).frames, Frames{});
  EXPECT_EQ(scanTrace(std::vector<double>{0.1, 0.5, 0.9, 0.5}, kNoTailTrimming).frames,
            (Frames{1, 2, 3}));
  // Exact equality: a level differing in the last bit is a new level; -0 equals +0.
  EXPECT_EQ(scanTrace(std::vector<double>{0.3, std::nextafter(0.3, 1.0)}, kNoTailTrimming).frames,
            Frames{1});
  EXPECT_EQ(scanTrace(std::vector<double>{0.0, -0.0}, kNoTailTrimming).frames, Frames{});
}

TEST(ScanTrace, MinusOneTurnsTrimmingOffEvenForLevelsAtOrBelowIt) {
  const TraceTransitions t = scanTrace(std::vector<double>{-1.0, -2.0, -1.0}, kNoTailTrimming);
  EXPECT_EQ(t.tailStart, -1);
  EXPECT_EQ(t.frames, (Frames{1, 2}));
}

TEST(ScanTrace, TailStartsAtTheFirstFrameAtOrBelowTheThresholdAndIsNotScanned) {
  const std::vector<double> steps = {0.8, 0.8, 0.5, 0.5, 0.1, 0.1};
  TraceTransitions t = scanTrace(steps, 0.1);
  EXPECT_EQ(t.tailStart, 4);
  EXPECT_EQ(t.frames, Frames{2});

  // At or below: the first 0.5 starts the tail, so the step into it is not seen.
  t = scanTrace(steps, 0.5);
  EXPECT_EQ(t.tailStart, 2);
  EXPECT_EQ(t.frames, Frames{});

  // A tail from frame 0 leaves nothing to scan.
  t = scanTrace(std::vector<double>{0.2, 0.2, 0.8, 0.8, 0.8, 0.2}, 0.5);
  EXPECT_EQ(t.tailStart, 0);
  EXPECT_EQ(t.frames, Frames{});

  // A later dip does not move the tail start, and a level that rises again stays in the tail.
  t = scanTrace(std::vector<double>{0.9, 0.1, 0.9, 0.7, 0.1}, 0.1);
  EXPECT_EQ(t.tailStart, 1);
  EXPECT_EQ(t.frames, Frames{});

  t = scanTrace(std::vector<double>{0.9, 0.6, 0.7}, 0.1);
  EXPECT_EQ(t.tailStart, -1);
  EXPECT_EQ(t.frames, (Frames{1, 2}));
}

TEST(ScanTrace, NaNFramesAreTransitionsAndNeverStartATail) {
  // A NaN frame differs from the level before it, and the frame after it differs from NaN.
  EXPECT_EQ(scanTrace(std::vector<double>{0.2, kNaN, 0.2, 0.2}, kNoTailTrimming).frames,
            (Frames{1, 2}));
  // Trailing NaN (a trace shorter than the sheet): every NaN frame is a transition.
  EXPECT_EQ(scanTrace(std::vector<double>{0.2, 0.8, kNaN, kNaN}, kNoTailTrimming).frames,
            (Frames{1, 2, 3}));
  // NaN at frame 0 is unequal to itself, so even frame 0 counts.
  EXPECT_EQ(scanTrace(std::vector<double>{kNaN, 0.5, 0.5}, kNoTailTrimming).frames, (Frames{0, 1}));

  const TraceTransitions t = scanTrace(std::vector<double>{kNaN, 0.8, 0.3, 0.3}, 0.5);
  EXPECT_EQ(t.tailStart, 2);
  EXPECT_EQ(t.frames, (Frames{0, 1}));
  EXPECT_EQ(scanTrace(std::vector<double>{0.8, kNaN}, kNaN).tailStart, -1);
}

TEST(ScanTrace, EmptyTraceHasNothing) {
  const TraceTransitions t = scanTrace(std::vector<double>{}, 0.5);
  EXPECT_EQ(t.tailStart, -1);
  EXPECT_TRUE(t.frames.empty());
}

}  // namespace
}  // namespace lumetra
