#include "segment_stats.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <stdexcept>
#include <vector>

namespace lumetra {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using Values = std::vector<double>;

void expectSameValues(const Values& got, const Values& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (std::isnan(want[i])) {
      EXPECT_TRUE(std::isnan(got[i])) << "at " << i;
    } else {
      EXPECT_DOUBLE_EQ(got[i], want[i]) << "at " << i;
    }
  }
}

TEST(SliceBounds, FollowsPythonSlicing) {
  auto bounds = [](std::ptrdiff_t a, std::ptrdiff_t b, std::size_t n) {
    const SliceBounds s = sliceBounds(a, b, n);
    return std::vector<std::size_t>{s.begin, s.end};
  };
  using B = std::vector<std::size_t>;
  EXPECT_EQ(bounds(1, 3, 5), (B{1, 3}));
  EXPECT_EQ(bounds(2, 9, 5), (B{2, 5}));   // clipped at the end
  EXPECT_EQ(bounds(-2, 5, 5), (B{3, 5}));  // negative counts from the end
  EXPECT_EQ(bounds(1, -1, 5), (B{1, 4}));
  EXPECT_EQ(bounds(-9, 2, 5), (B{0, 2}));
  EXPECT_EQ(bounds(4, 2, 5), (B{4, 4}));  // empty
  EXPECT_EQ(bounds(7, 9, 5), (B{5, 5}));
}

TEST(MovingVariance, IsThePopulationVarianceOfEveryWholeWindow) {
  const Values v{1, 2, 3, 4};
  expectSameValues(movingVariance(v, 4, 2, NaNRule::propagate), {0.25, 0.25, 0.25});
  expectSameValues(movingVariance(v, 4, 4, NaNRule::propagate), {1.25});
  EXPECT_TRUE(movingVariance(v, 4, 5, NaNRule::propagate).empty());
  // The window count comes from the frame count, the values from data.
  expectSameValues(movingVariance(v, 3, 2, NaNRule::propagate), {0.25, 0.25});
  EXPECT_THROW(movingVariance(v, 4, 0, NaNRule::propagate), std::invalid_argument);
  EXPECT_THROW(movingVariance(v, 5, 2, NaNRule::propagate), std::invalid_argument);
}

TEST(MovingVariance, NaNPoisonsOnlyArrayWindows) {
  const Values v{1, 3, kNaN, 5, 9};
  expectSameValues(movingVariance(v, 5, 2, NaNRule::propagate), {1.0, kNaN, kNaN, 4.0});
  // A Series skips it: a window of one remaining value has variance 0.
  expectSameValues(movingVariance(v, 5, 2, NaNRule::skip), {1.0, 0.0, 0.0, 4.0});
  expectSameValues(movingVariance(v, 5, 3, NaNRule::skip), {1.0, 1.0, 4.0});
}

TEST(CentralMoment, MatchesTheDefinitionForEveryOrder) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> normal(2.0, 3.0);
  Values x(37);
  for (double& v : x) v = normal(rng);
  double mean = 0;
  for (double v : x) mean += v;
  mean /= static_cast<double>(x.size());
  for (long long order = 2; order <= 9; ++order) {
    double sum = 0;
    double magnitude = 0;
    for (double v : x) {
      sum += std::pow(v - mean, static_cast<double>(order));
      magnitude += std::pow(std::abs(v - mean), static_cast<double>(order));
    }
    const auto n = static_cast<double>(x.size());
    EXPECT_NEAR(centralMoment(x, order), sum / n, 1e-13 * magnitude / n) << order;
  }
}

TEST(CentralMoment, FollowsScipyAtTheEdges) {
  const Values x{1, 2, 3};
  EXPECT_EQ(centralMoment(x, 0), 1.0);
  EXPECT_EQ(centralMoment(x, 1), 0.0);
  EXPECT_DOUBLE_EQ(centralMoment(x, 2), 2.0 / 3.0);
  EXPECT_EQ(centralMoment(x, 3), 0.0);
  // scipy's squaring chain starts from the square for every order below 3 but 0 and 1.
  EXPECT_DOUBLE_EQ(centralMoment(x, -1), 2.0 / 3.0);
  EXPECT_EQ(centralMoment(Values{4.0}, 2), 0.0);
  EXPECT_TRUE(std::isnan(centralMoment(Values{}, 2)));
  EXPECT_TRUE(std::isnan(centralMoment(Values{1, kNaN, 3}, 1)));
  EXPECT_TRUE(std::isnan(centralMoment(Values{1, kNaN, 3}, 0)));
}

TEST(CentralMoment, FlagsNearlyConstantSamples) {
  EXPECT_TRUE(momentLosesPrecision(Values{5, 5, 5}));
  EXPECT_TRUE(momentLosesPrecision(Values{1e9, 1e9 + 1e-7}));
  EXPECT_FALSE(momentLosesPrecision(Values{1, 2}));
  EXPECT_FALSE(momentLosesPrecision(Values{5}));
  EXPECT_FALSE(momentLosesPrecision(Values{0, 0}));  // 0 / 0 is not small
  EXPECT_FALSE(momentLosesPrecision(Values{5, kNaN}));
}

TEST(SegmentStatistics, OneValuePerPartitionEvenWhenEmpty) {
  const Values v{1, 2, 3, 4};
  const std::vector<Partition> parts{{0, 2, 0}, {2, 4, 1}, {3, 3, 2}, {-2, 9, 3}};
  expectSameValues(segmentStd(v, parts, NaNRule::propagate), {0.5, 0.5, kNaN, 0.5});
  expectSameValues(segmentMoments(v, parts, 2), {0.25, 0.25, kNaN, 0.25});
  const Values withNaN{1, kNaN, 3, 4};
  expectSameValues(segmentStd(withNaN, parts, NaNRule::propagate), {kNaN, 0.5, kNaN, 0.5});
  expectSameValues(segmentStd(withNaN, parts, NaNRule::skip), {0.0, 0.5, kNaN, 0.5});
  // Moments propagate NaN whatever the input was.
  expectSameValues(segmentMoments(withNaN, parts, 2), {kNaN, 0.25, kNaN, 0.25});
}

TEST(Derivative, DividesTheNthDifferenceByOneFrameStep) {
  const Values frames{0, 2, 4, 6};
  const Values data{0, 1, 4, 9};
  expectSameValues(derivative(frames, data, 1), {0.5, 1.5, 2.5});
  expectSameValues(derivative(frames, data, 2), {1.0, 1.0});
  expectSameValues(derivative(Values{0, 1, 3, 6}, data, 2), {2.0, 1.0});
  expectSameValues(derivative(frames, data, 3), {0.0});
  // Order 0 divides the data itself, which must then line up with the steps.
  expectSameValues(derivative(frames, Values{2, 4, 6}, 0), {1.0, 2.0, 3.0});
  // A zero step gives infinities and NaN, no exception.
  expectSameValues(derivative(Values{0, 0, 1}, Values{0, 1, 1}, 1), {kInf, 0.0});
  expectSameValues(derivative(Values{0, 0}, Values{0, 0}, 1), {kNaN});
}

TEST(Derivative, BroadcastsLengthOneAndRejectsOtherMismatches) {
  expectSameValues(derivative(Values{0, 1, 3, 7}, Values{0, 4}, 1), {4.0, 2.0, 1.0});
  expectSameValues(derivative(Values{0, 2}, Values{0, 1, 4}, 1), {0.5, 1.5});
  EXPECT_TRUE(derivative(Values{0, 1}, Values{0, 1, 4}, 3).empty());
  EXPECT_THROW(derivative(Values{0, 1, 2}, Values{0, 1, 2, 3}, 1), std::invalid_argument);
  EXPECT_THROW(derivative(Values{0, 1}, Values{0, 1}, -1), std::invalid_argument);
}

TEST(IntegralRange, RunsTheRectangleRuleOverThePositions) {
  const Values x{0, 1, 2, 3, 4};
  const Values y{1, 2, 3};
  expectSameValues(integralRange(x, 0, 3, y, 0), {1, 3, 6});
  // Positions past the end of y reuse its last value and step.
  expectSameValues(integralRange(x, 1, 5, y, 0), {2, 5, 8, 11});
  EXPECT_TRUE(integralRange(x, 3, 3, y, 0).empty());
  EXPECT_TRUE(integralRange(x, 3, 1, y, 0).empty());
  // Steps are taken at the window centre i + halfWinLen.
  expectSameValues(integralRange(Values{0, 1, 3, 6, 10}, 0, 3, Values{1, 1, 1}, 1), {2, 5, 9});
}

TEST(IntegralRange, RefusesPositionsOutsideXOrY) {
  const Values x{0, 1, 2, 3, 4};
  EXPECT_THROW(integralRange(x, 0, 3, Values{1, 2, 3}, 2), std::out_of_range);
  EXPECT_THROW(integralRange(x, -1, 2, Values{1, 2, 3}, 0), std::out_of_range);
  EXPECT_THROW(integralRange(x, 0, 1, Values{}, 0), std::out_of_range);
  EXPECT_THROW(integralRange(Values{0}, 0, 1, Values{1}, 0), std::out_of_range);
  // extreme positions and half windows are refused before anything is allocated
  EXPECT_THROW(integralRange(x, 0, 3, Values{1, 2, 3}, PTRDIFF_MAX), std::out_of_range);
  EXPECT_THROW(integralRange(x, PTRDIFF_MIN, PTRDIFF_MAX, Values{1, 2, 3}, 0), std::out_of_range);
  EXPECT_THROW(integralRange(x, 0, PTRDIFF_MAX, Values{1, 2, 3}, 0), std::bad_alloc);
  // Ranges and half windows at the limits of an index fail at their first position, without
  // reserving room for all of them.
  constexpr std::ptrdiff_t kMax = std::numeric_limits<std::ptrdiff_t>::max();
  EXPECT_THROW(integralRange(x, -kMax - 1, kMax, Values{1, 2, 3}, 0), std::out_of_range);
  EXPECT_THROW(integralRange(Values{0, 1, 2}, 0, kMax, Values{1, 2, 3}, 0), std::out_of_range);
  EXPECT_THROW(integralRange(x, 2, 3, Values{1, 2, 3}, kMax), std::out_of_range);
}

TEST(LineSlope, FitsTheLeastSquaresLine) {
  EXPECT_NEAR(lineSlope(Values{3, 4, 5}, Values{5, 4, 3}).slope, -1.0, 1e-15);
  EXPECT_NEAR(lineSlope(Values{0, 1, 2, 3}, Values{0, 1, 1, 3}).slope, 0.9, 1e-15);
  // Far from the origin: centring keeps the slope exact.
  const Values offset{1e9, 1e9 + 1, 1e9 + 2};
  EXPECT_NEAR(lineSlope(offset, Values{1, 2, 4}).slope, 1.5, 1e-12);
  // Tiny and huge scales neither underflow nor overflow.
  EXPECT_NEAR(lineSlope(Values{1e-300, 2e-300}, Values{1, 2}).slope, 1e300, 1e285);
  EXPECT_NEAR(lineSlope(Values{1e300, 2e300}, Values{1, 2}).slope, 1e-300, 1e-315);
  const LineSlope withNaN = lineSlope(Values{0, 1, 2}, Values{0, kNaN, 2});
  EXPECT_TRUE(std::isnan(withNaN.slope));
  EXPECT_FALSE(withNaN.rankDeficient);
  EXPECT_TRUE(std::isnan(lineSlope(Values{0, 1, 2}, Values{0, kInf, 2}).slope));
}

TEST(LineSlope, FailsLikeNumpyWhereNumpyFails) {
  EXPECT_THROW(lineSlope(Values{0, 1, 2}, Values{0, 1}), FitLengthError);
  EXPECT_THROW(lineSlope(Values{0, 1, 2}, Values{0, -0.0, 0}), FitWithoutSlope);
  EXPECT_THROW(lineSlope(Values{0, kNaN, 2}, Values{0, 1, 2}), FitNotSolvable);
  EXPECT_THROW(lineSlope(Values{0, kInf, 2}, Values{0, 1, 2}), FitNotSolvable);
}

TEST(LineSlope, SharedXFollowsNumpysWidenedDomain) {
  // 2 maps exactly onto 0: no slope coefficient survives.
  EXPECT_THROW(lineSlope(Values{2, 2, 2}, Values{1, 5, 3}), FitWithoutSlope);
  // 1e17 - 1 == 1e17 + 1: the widened domain collapses.
  EXPECT_THROW(lineSlope(Values{1e17, 1e17}, Values{1, 2}), FitNotSolvable);
  // 0.1 maps onto a rounding residue, so the minimum-norm solution has a (meaningless) slope.
  const LineSlope residue = lineSlope(Values{0.1, 0.1, 0.1}, Values{1, 2, 3});
  EXPECT_TRUE(residue.rankDeficient);
  EXPECT_TRUE(std::isfinite(residue.slope));
  EXPECT_GT(std::abs(residue.slope), 1e15);
  const LineSlope withNaN = lineSlope(Values{2, 2}, Values{1, kNaN});
  EXPECT_TRUE(withNaN.rankDeficient);
  EXPECT_TRUE(std::isnan(withNaN.slope));
}

TEST(MiddleThirdSlopeRatio, ComparesTheFittedSlopeWithTheChord) {
  const Values x{0, 1, 2, 3, 4, 5, 6, 7, 8};
  const Values y{8, 9, 6, 5, 4, 3, 2, 0, 1};
  const auto r = middleThirdSlopeRatio(x, y, NaNRule::propagate);
  ASSERT_TRUE(r.has_value());
  EXPECT_NEAR(r->slope, -1.0, 1e-15);
  EXPECT_EQ(r->chordRise, -9.0);
  EXPECT_EQ(r->chordRun, 6.0);
  EXPECT_NEAR(r->ratio, 2.0 / 3.0, 1e-15);
  EXPECT_FALSE(r->rankDeficient);

  EXPECT_FALSE(middleThirdSlopeRatio(Values(5, 1.0), Values(5, 1.0), NaNRule::propagate));
  // Six points: the line through the two middle ones.
  const auto six =
      middleThirdSlopeRatio(Values{0, 1, 2, 3, 4, 5}, Values{0, 1, 5, 7, 9, 9}, NaNRule::propagate);
  ASSERT_TRUE(six.has_value());
  EXPECT_NEAR(six->slope, 2.0, 1e-15);
  EXPECT_NEAR(six->ratio, 1.0, 1e-15);
  EXPECT_THROW(middleThirdSlopeRatio(x, Values(8, 1.0), NaNRule::propagate), FitLengthError);
}

TEST(MiddleThirdSlopeRatio, TiesAndNaNFollowNumpyOrPandas) {
  const Values x{0, 1, 2, 3, 4, 5, 6, 7, 8};
  // Ties: the first maximum (index 0) and the first minimum (index 5).
  const auto ties = middleThirdSlopeRatio(x, Values{9, 9, 6, 5, 4, 0, 2, 0, 1}, NaNRule::skip);
  ASSERT_TRUE(ties.has_value());
  EXPECT_EQ(ties->chordRun, 5.0);
  // numpy takes the first NaN as the maximum; pandas leaves it out.
  const Values y{8, kNaN, 6, 5, 4, 3, 2, 0, 1};
  const auto numpyWay = middleThirdSlopeRatio(x, y, NaNRule::propagate);
  ASSERT_TRUE(numpyWay.has_value());
  EXPECT_TRUE(std::isnan(numpyWay->ratio));
  EXPECT_NEAR(numpyWay->slope, -1.0, 1e-15);
  const auto pandasWay = middleThirdSlopeRatio(x, y, NaNRule::skip);
  ASSERT_TRUE(pandasWay.has_value());
  EXPECT_EQ(pandasWay->chordRise, -8.0);
  EXPECT_EQ(pandasWay->chordRun, 7.0);
  EXPECT_THROW(
      middleThirdSlopeRatio(x, Values{kNaN, kNaN, kNaN, kNaN, 4, 3, 2, 0, 1}, NaNRule::skip),
      AllNaNHalf);
}

TEST(MiddleThirdSlopeRatio, DivisionsByZeroGiveInfinitiesOrNaN) {
  // The chord's ends share one x: infinite chord slope, ratio 0.
  const Values x{0, 1, 2, 3, 4, 5, 6, 7, 8};
  const Values sameX{5, 5, 2, 3, 4, 5, 6, 7, 5};
  const auto r =
      middleThirdSlopeRatio(sameX, Values{9, 1, 1, 2, 3, 1, 1, 1, 0}, NaNRule::propagate);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->chordRun, 0.0);
  EXPECT_EQ(r->chordSlope, -kInf);
  EXPECT_EQ(r->ratio, 0.0);
  // A flat chord: ratio +-inf.
  const auto flat = middleThirdSlopeRatio(x, Values{1, 0, 0, 1, 3, 2, 1, 1, 1}, NaNRule::propagate);
  ASSERT_TRUE(flat.has_value());
  EXPECT_EQ(flat->chordSlope, 0.0);
  EXPECT_TRUE(std::isinf(flat->ratio));
}

}  // namespace
}  // namespace lumetra
