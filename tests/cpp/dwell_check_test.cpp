#include "dwell_check.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "matrix_log.hpp"
#include "random.hpp"

namespace lumetra {
namespace {

using Levels = std::vector<std::int64_t>;

std::vector<std::int64_t> geometricSample(double mean, std::size_t n, Random& rng) {
  std::vector<std::int64_t> out(n);
  for (auto& d : out) d = static_cast<std::int64_t>(rng.dwell(mean, 1000000));
  return out;
}

TEST(DwellCheck, RunsOfAPathWithTheEndsCensored) {
  const auto runs = levelDwells(Levels{0, 0, 1, 1, 1, 0, 2, 2});
  ASSERT_EQ(runs.size(), 4u);
  const std::vector<std::size_t> frames{2, 3, 1, 2};
  const Levels levels{0, 1, 0, 2};
  for (std::size_t r = 0; r < runs.size(); ++r) {
    EXPECT_EQ(runs[r].frames, frames[r]);
    EXPECT_EQ(runs[r].level, levels[r]);
    EXPECT_EQ(runs[r].censored, r == 0 || r == 3);
  }
  const auto single = levelDwells(Levels{4, 4, 4});
  ASSERT_EQ(single.size(), 1u);
  EXPECT_TRUE(single[0].censored);
  EXPECT_TRUE(levelDwells(Levels{}).empty());
}

TEST(DwellCheck, TwoStatesGiveGeometricDwells) {
  // 0 -> 1 at 2 /s, 1 -> 0 at 0.5 /s, 0.1 s frames: a level of one state is left each frame
  // with the chance 1 - P_ii.
  const std::vector<double> q{-2, 2, 0.5, -0.5};
  const double dt = 0.1;
  const std::vector<double> p = matrixExp(std::vector<double>{-0.2, 0.2, 0.05, -0.05}, 2);
  for (std::int64_t level : {0, 1}) {
    const auto cdf = levelDwellCdf(q, Levels{0, 1}, level, dt, 50);
    ASSERT_EQ(cdf.size(), 51u);
    const double stay = p[static_cast<std::size_t>(level) * 3];
    for (std::size_t d = 0; d <= 50; ++d)
      EXPECT_NEAR(cdf[d], 1 - std::pow(stay, static_cast<double>(d)), 1e-12) << d;
  }
}

// The mean dwell on a level over a long run: its share of the frames over its entries per frame.
double longRunMeanDwell(const std::vector<double>& q, const Levels& stateLevels, std::int64_t level,
                        double dt) {
  const std::size_t k = stateLevels.size();
  const auto exp = [&](double t) {
    std::vector<double> a = q;
    for (double& v : a) v *= t;
    return matrixExp(a, k);
  };
  const auto p = exp(dt), limit = exp(1e4);  // each row of the limit: the stationary shares
  double share = 0, entries = 0;
  for (std::size_t i = 0; i < k; ++i) {
    if (stateLevels[i] == level) share += limit[i];
    for (std::size_t j = 0; j < k; ++j)
      if (stateLevels[i] != level && stateLevels[j] == level) entries += limit[i] * p[i * k + j];
  }
  return share / entries;
}

TEST(DwellCheck, AggregatedLevelsHaveTheMeanDwellOfTheirShareOverTheirEntries) {
  const double dt = 0.05;
  // Level 0: a fast and a slow state, both leading to level 1 (one state); then a ring of four
  // states, two per level, entered unevenly.
  const std::vector<double> three{-5, 0, 5, 0, -0.2, 0.2, 1.5, 0.5, -2};
  const std::vector<double> ring{-3.1, 3, 0, 0.1, 0.2, -0.7, 0.5, 0, 0, 2, -2.5, 0.5, 4, 0, 1, -5};
  for (const auto& [q, stateLevels] :
       {std::pair{three, Levels{0, 0, 1}}, std::pair{ring, Levels{0, 0, 1, 1}}}) {
    for (std::int64_t level : {0, 1}) {
      const auto cdf = levelDwellCdf(q, stateLevels, level, dt, 20000);
      double mean = 0;  // sum over d >= 1 of Pr(D >= d)
      for (std::size_t d = 0; d + 1 < cdf.size(); ++d) mean += 1 - cdf[d];
      EXPECT_NEAR(cdf.back(), 1, 1e-12);
      EXPECT_NEAR(mean, longRunMeanDwell(q, stateLevels, level, dt), 1e-6 * mean) << level;
      for (std::size_t d = 1; d < cdf.size(); ++d) ASSERT_GE(cdf[d], cdf[d - 1] - 1e-15) << d;
    }
  }

  // A model of one level is never entered: no distribution.
  const auto never = levelDwellCdf(std::vector<double>{-1, 1, 1, -1}, Levels{0, 0}, 0, dt, 5);
  for (double v : never) EXPECT_TRUE(std::isnan(v));
}

TEST(DwellCheck, RefusesWhatIsNoRateMatrix) {
  const std::vector<double> q{-1, 1, 1, -1};
  EXPECT_THROW(levelDwellCdf(q, Levels{0, 1, 1}, 0, 1, 5), std::invalid_argument);
  EXPECT_THROW(levelDwellCdf(std::vector<double>{1, -1, 1, -1}, Levels{0, 1}, 0, 1, 5),
               std::invalid_argument);  // a negative rate
  EXPECT_THROW(levelDwellCdf(std::vector<double>{-1, 2, 1, -1}, Levels{0, 1}, 0, 1, 5),
               std::invalid_argument);  // a row not summing to 0
  EXPECT_THROW(levelDwellCdf(q, Levels{0, 1}, 2, 1, 5), std::invalid_argument);
  for (double dt : {0.0, -1.0, std::numeric_limits<double>::infinity()})
    EXPECT_THROW(levelDwellCdf(q, Levels{0, 1}, 0, dt, 5), std::invalid_argument);
}

TEST(DwellCheck, CramerVonMisesIsNearZeroForTheRightModelOnly) {
  // One dwell read at the middle of the only jump: the 1 / (12 n^2) term alone.
  EXPECT_DOUBLE_EQ(cramerVonMises(Levels{1}, std::vector<double>{0, 1}), 1.0 / 12);

  Random rng(7);
  const auto dwells = geometricSample(8, 4000, rng);
  const auto right = geometricMixtureCdf(std::vector<double>{1}, std::vector<double>{8}, 1000);
  const auto wrong = geometricMixtureCdf(std::vector<double>{1}, std::vector<double>{5}, 1000);
  // What is left for the right model is the jumps' own share, about sum (F(x) - F(x - 1))^3 / 12.
  EXPECT_LT(cramerVonMises(dwells, right), 1e-3);
  EXPECT_GT(cramerVonMises(dwells, wrong), 1e-2);

  EXPECT_THROW(cramerVonMises(Levels{}, right), std::invalid_argument);
  EXPECT_THROW(cramerVonMises(Levels{0}, right), std::invalid_argument);
  EXPECT_THROW(cramerVonMises(Levels{1001}, right), std::invalid_argument);
}

TEST(DwellCheck, BicTellsOneRateFromTwo) {
  Random rng(3);
  auto dwells = geometricSample(3, 1500, rng);
  const auto single = fitGeometricMixtures(dwells);
  EXPECT_EQ(single.chosen, 0u);
  EXPECT_NEAR(single.fits[0].meanFrames[0], 3, 0.15);

  const auto slow = geometricSample(60, 1500, rng);
  dwells.insert(dwells.end(), slow.begin(), slow.end());
  const auto mixed = fitGeometricMixtures(dwells);
  ASSERT_EQ(mixed.fits.size(), 3u);
  EXPECT_EQ(mixed.chosen, 1u);
  const auto& two = mixed.fits[1];
  EXPECT_NEAR(two.weights[0], 0.5, 0.05);
  EXPECT_NEAR(two.meanFrames[0], 3, 0.3);
  EXPECT_NEAR(two.meanFrames[1], 60, 5);
  EXPECT_GT(two.logLikelihood, mixed.fits[0].logLikelihood);

  // No more components than distinct lengths; one length is one component of that length.
  const auto flat = fitGeometricMixtures(Levels{4, 4, 4});
  ASSERT_EQ(flat.fits.size(), 1u);
  EXPECT_DOUBLE_EQ(flat.fits[0].meanFrames[0], 4);
}

TEST(DwellCheck, MixtureCdfAndErrors) {
  const auto cdf = geometricMixtureCdf(std::vector<double>{0.5, 0.5}, std::vector<double>{1, 2}, 2);
  EXPECT_DOUBLE_EQ(cdf[0], 0);
  EXPECT_DOUBLE_EQ(cdf[1], 0.5 + 0.5 * 0.5);
  EXPECT_DOUBLE_EQ(cdf[2], 0.5 + 0.5 * 0.75);
  EXPECT_THROW(geometricMixtureCdf(std::vector<double>{1}, std::vector<double>{0.5}, 2),
               std::invalid_argument);
  EXPECT_THROW(geometricMixtureCdf(std::vector<double>{1}, std::vector<double>{}, 2),
               std::invalid_argument);
  EXPECT_THROW(fitGeometricMixture(Levels{}, 1), std::invalid_argument);
  EXPECT_THROW(fitGeometricMixture(Levels{3, 0}, 1), std::invalid_argument);
  EXPECT_THROW(fitGeometricMixture(Levels{3}, 0), std::invalid_argument);
  EXPECT_THROW(fitGeometricMixtures(Levels{3}, kMaxDwellComponents + 1), std::invalid_argument);
}

}  // namespace
}  // namespace lumetra
