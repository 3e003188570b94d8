#include "kinetics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <vector>

#include "gamma.hpp"
#include "random.hpp"

namespace lumetra {
namespace {

std::vector<double> exponentialSample(double rate, std::size_t n, std::uint64_t seed) {
  Random rng(seed);
  std::vector<double> out(n);
  for (double& x : out) x = rng.exponential(rate);
  return out;
}

TEST(ClusterLevelsTest, SeparatesLevelsAndWeighsThem) {
  const std::vector<double> values = {1000, 590, 610, 980, 1020, 600, 850};
  // The mixed segment at 850 is short: it joins the upper group without moving it far.
  const std::vector<double> weights = {10, 10, 10, 10, 10, 10, 1};
  const auto c = clusterLevels(values, weights, 2);
  ASSERT_EQ(c.centres.size(), 2u);
  EXPECT_DOUBLE_EQ(c.centres[0], 600);
  EXPECT_NEAR(c.centres[1], (30000 + 850) / 31.0, 1e-9);
  EXPECT_EQ(c.labels, (std::vector<std::size_t>{1, 0, 0, 1, 1, 0, 1}));

  // A heavy value drags its centre.
  const auto heavy =
      clusterLevels(std::vector<double>{0, 1, 10, 11}, std::vector<double>{1, 3, 1, 1}, 2);
  EXPECT_DOUBLE_EQ(heavy.centres[0], 0.75);
  EXPECT_DOUBLE_EQ(heavy.centres[1], 10.5);
}

TEST(ClusterLevelsTest, ManyEqualValuesStillGiveDistinctGroups) {
  std::vector<double> values(50, 5.0);
  values.push_back(9);
  values.push_back(1);
  const std::vector<double> weights(values.size(), 1.0);
  const auto c = clusterLevels(values, weights, 3);
  EXPECT_EQ(c.centres, (std::vector<double>{1, 5, 9}));
  EXPECT_EQ(c.labels.back(), 0u);
  EXPECT_THROW(clusterLevels(values, weights, 4), std::invalid_argument);
  EXPECT_THROW(clusterLevels(values, weights, 0), std::invalid_argument);
  EXPECT_THROW(clusterLevels(std::vector<double>{1, 2}, std::vector<double>{1, 0}, 1),
               std::invalid_argument);
}

TEST(CompleteDwellsTest, LeavesOutTheCensoredEnds) {
  const std::vector<double> levels = {5, 5, 7, 7, 7, 5, 9, 9, 5, 5};
  std::vector<double> time;
  time.reserve(10);
  for (int i = 0; i < 10; ++i) time.push_back(0.5 * i);
  const auto d = completeDwells(levels, time);
  ASSERT_EQ(d.size(), 3u);
  EXPECT_EQ(d[0].level, 7);
  EXPECT_DOUBLE_EQ(d[0].duration, 1.5);
  EXPECT_EQ(d[1].level, 5);
  EXPECT_DOUBLE_EQ(d[1].duration, 0.5);
  EXPECT_EQ(d[2].level, 9);
  EXPECT_DOUBLE_EQ(d[2].duration, 1.0);
  EXPECT_TRUE(
      completeDwells(std::vector<double>{1, 1, 2, 2}, std::vector<double>{0, 1, 2, 3}).empty());
  EXPECT_THROW(completeDwells(levels, std::vector<double>{0, 1}), std::invalid_argument);
}

TEST(SingleExponentialTest, EstimateAndExactInterval) {
  const std::vector<double> dwells = {1, 2, 3};
  const RateFit fit = fitSingleExponential(dwells);
  EXPECT_DOUBLE_EQ(fit.rate, 0.5);
  EXPECT_EQ(fit.count, 3u);
  EXPECT_NEAR(fit.lower, chiSquareQuantile(0.025, 6) / 12, 1e-12);
  EXPECT_NEAR(fit.upper, chiSquareQuantile(0.975, 6) / 12, 1e-12);
  EXPECT_NEAR(fit.logLikelihood, 3 * std::log(0.5) - 3, 1e-12);

  // Dwells below the shortest one counted are dropped, the rest shifted.
  const RateFit shifted = fitSingleExponential(std::vector<double>{0.5, 1, 2, 3}, 1);
  EXPECT_DOUBLE_EQ(shifted.rate, 1.0);
  EXPECT_EQ(shifted.count, 3u);

  EXPECT_THROW(fitSingleExponential(std::vector<double>{}), std::invalid_argument);
  EXPECT_THROW(fitSingleExponential(std::vector<double>{1, 1}, 1), std::invalid_argument);
  EXPECT_THROW(fitSingleExponential(std::vector<double>{1, -1}), std::invalid_argument);
  EXPECT_THROW(fitSingleExponential(dwells, 0, 1), std::invalid_argument);
}

TEST(SingleExponentialTest, IntervalCoversTheTrueRateAtItsLevel) {
  int covered = 0;
  for (std::uint64_t seed = 0; seed < 400; ++seed) {
    const RateFit fit = fitSingleExponential(exponentialSample(0.22, 40, seed));
    covered += fit.lower <= 0.22 && 0.22 <= fit.upper;
  }
  // 95% of 400, binomial standard deviation about 4.4.
  EXPECT_NEAR(covered, 380, 15);
}

TEST(DoubleExponentialTest, RecoversBothComponents) {
  std::vector<double> dwells = exponentialSample(5.0, 6000, 1);
  const std::vector<double> slow = exponentialSample(0.5, 14000, 101);
  dwells.insert(dwells.end(), slow.begin(), slow.end());
  const DoubleExponentialFit fit = fitDoubleExponential(dwells);
  EXPECT_NEAR(fit.fraction, 0.3, 0.02);
  EXPECT_NEAR(fit.fast.rate, 5.0, 0.3);
  EXPECT_NEAR(fit.slow.rate, 0.5, 0.02);
  // The intervals hold the true values and are about as wide as the sample allows.
  EXPECT_TRUE(fit.fast.lower < 5.0 && 5.0 < fit.fast.upper);
  EXPECT_TRUE(fit.slow.lower < 0.5 && 0.5 < fit.slow.upper);
  EXPECT_TRUE(fit.fractionLower < 0.3 && 0.3 < fit.fractionUpper);
  EXPECT_LT(fit.fast.upper - fit.fast.lower, 1.2);
  EXPECT_LT(fit.slow.upper - fit.slow.lower, 0.05);
  // The mixture fits at least as well as one exponential.
  EXPECT_GE(fit.logLikelihood, fitSingleExponential(dwells).logLikelihood);
  EXPECT_THROW(fitDoubleExponential(std::vector<double>{1, 2, 3}), std::invalid_argument);
}

}  // namespace
}  // namespace lumetra
