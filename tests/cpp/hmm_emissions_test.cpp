#include "hmm_emissions.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <utility>
#include <vector>

namespace lumetra {
namespace {

double logNormal(double x, double mean, double spread) {
  const double z = (x - mean) / spread;
  return -0.5 * z * z - std::log(spread * std::sqrt(2 * std::numbers::pi));
}

// The log of the mean of N(x; f a + (1 - f) b, spread) over f in [0, 1], by Simpson's rule on a
// fine grid, scaled by its largest value so that frames far from both levels keep their digits.
double logBlurIntegral(double x, double a, double b, double spread) {
  constexpr int kIntervals = 4000;
  std::vector<double> logs(kIntervals + 1);
  for (int i = 0; i <= kIntervals; ++i) {
    const double f = static_cast<double>(i) / kIntervals;
    logs[i] = logNormal(x, f * a + (1 - f) * b, spread);
  }
  const double top = *std::max_element(logs.begin(), logs.end());
  double sum = 0;
  for (int i = 0; i <= kIntervals; ++i) {
    const double weight = (i == 0 || i == kIntervals) ? 1 : (i % 2 == 1 ? 4 : 2);
    sum += weight * std::exp(logs[i] - top);
  }
  return std::log(sum / (3.0 * kIntervals)) + top;
}

struct Blurred {
  std::vector<double> pure, mix;
  double top = 0;
};

Blurred blur(double x, const HmmModel& m, double scale = 1) {
  const std::size_t k = m.states();
  Blurred out{std::vector<double>(k), std::vector<double>(k * k), 0};
  out.top = blurEmissions(x, m, out.pure, out.mix, scale);
  return out;
}

const HmmModel kShared{{0.2, 0.5, 0.85}, {0.05, 0.05, 0.05}, {}, {}};
const HmmModel kOwnSpreads{{0.2, 0.5, 0.85}, {0.03, 0.06, 0.1}, {}, {}};

// Frames between, on and beyond the levels, and two far enough out (27 and 30 shared spreads)
// that the blurred emissions are worked out in logarithms.
const std::vector<double> kFrames = {0.2, 0.33, 0.5, 0.61, 0.85, 1.0, -0.2, 2.2, -1.3};

TEST(HmmEmissions, AreTheGaussianDensitiesScaledByTheLargestAndOneForNaN) {
  for (const HmmModel& m : {kShared, kOwnSpreads}) {
    for (const double x : kFrames) {
      SCOPED_TRACE(x);
      std::vector<double> out(3);
      const double top = emissions(x, m, out);
      EXPECT_EQ(*std::max_element(out.begin(), out.end()), 1.0);
      // Frame blur leaves the frames without a change as they were.
      const Blurred b = blur(x, m);
      for (std::size_t s = 0; s < 3; ++s) {
        const double expected = logNormal(x, m.means[s], m.spreads[s]);
        // A state more than 700 log units below the likeliest one underflows to 0.
        if (expected > top - 700) {
          EXPECT_NEAR(std::log(out[s]) + top, expected, 1e-9);
          EXPECT_NEAR(std::log(b.pure[s]) + b.top, expected, 1e-9);
        }
      }
    }
    // A missing frame says nothing about the state, the change, or the likelihood.
    std::vector<double> out(3, 0.0);
    EXPECT_EQ(emissions(std::nan(""), m, out), 0.0);
    EXPECT_EQ(out, std::vector<double>(3, 1.0));
    const Blurred b = blur(std::nan(""), m);
    EXPECT_EQ(b.top, 0.0);
    EXPECT_EQ(b.pure, std::vector<double>(3, 1.0));
    EXPECT_EQ(b.mix, std::vector<double>(9, 1.0));
  }
}

TEST(HmmEmissions, AChangeFrameIsTheMeanOfTheTwoLevelMixOverItsShare) {
  // Sharp levels: frames between them lie hundreds of spreads from both, and only the change
  // explains them.
  const HmmModel sharp{{0.2, 0.5, 0.85}, {1e-3, 1e-3, 1e-3}, {}, {}};
  const std::vector<std::pair<HmmModel, std::vector<double>>> cases = {
      {kShared, kFrames}, {kOwnSpreads, kFrames}, {sharp, {0.33, 0.61, 0.7}}};
  for (const auto& [m, frames] : cases) {
    for (const double x : frames) {
      SCOPED_TRACE(x);
      const Blurred b = blur(x, m);
      for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = i + 1; j < 3; ++j) {
          // Seen through the mean of the two spreads; the order of the change does not matter.
          const double spread = 0.5 * (m.spreads[i] + m.spreads[j]);
          const double expected = logBlurIntegral(x, m.means[i], m.means[j], spread);
          if (expected > b.top - 700) {  // else it may underflow, as in the test above
            EXPECT_NEAR(std::log(b.mix[i * 3 + j]) + b.top, expected, 1e-7 * std::abs(expected));
          }
          EXPECT_EQ(b.mix[i * 3 + j], b.mix[j * 3 + i]);
        }
      }
    }
  }
}

TEST(HmmEmissions, MirroredFramesAndLevelsGiveTheSameMixAndEqualLevelsThePureDensity) {
  const HmmModel m{{0.3, 0.7}, {0.04, 0.04}, {}, {}};
  const HmmModel flipped{{0.7, 0.3}, {0.04, 0.04}, {}, {}};
  for (const double d : {0.0, 0.05, 0.2, 0.5, 1.1}) {
    SCOPED_TRACE(d);
    const Blurred below = blur(0.5 - d, m), above = blur(0.5 + d, m);
    EXPECT_NEAR(below.mix[1] * std::exp(below.top), above.mix[1] * std::exp(above.top),
                1e-9 * above.mix[1] * std::exp(above.top));
    EXPECT_NEAR(below.pure[0] * std::exp(below.top), above.pure[1] * std::exp(above.top),
                1e-9 * above.pure[1] * std::exp(above.top));
    // The same change with the states named the other way round.
    const Blurred swapped = blur(0.5 - d, flipped);
    EXPECT_EQ(swapped.top, below.top);
    EXPECT_EQ(swapped.mix[1], below.mix[1]);
  }
  // A change between two states at one level blurs nothing.
  const HmmModel level{{0.4, 0.4}, {0.05, 0.05}, {}, {}};
  for (const double x : {0.4, 0.47, 0.1}) {
    const Blurred b = blur(x, level);
    EXPECT_NEAR(std::log(b.mix[1]) + b.top, logNormal(x, 0.4, 0.05), 1e-12);
  }
}

TEST(HmmEmissions, TheTraceScaleWidensTheSpreadsAndTheOutlierTermAddsItsFlatDensity) {
  HmmModel m = kShared;
  m.outlierShare = 0.02;
  m.outlierDensity = 0.25;
  const double flat = 0.02 * 0.25, scale = 2;
  // Read with scale 2, i.e. spreads of 0.1; the last frame lies 38 of the model's own spreads
  // beyond the top level, where the change density's tails underflow without the term.
  std::vector<double> frames = kFrames;
  frames.push_back(0.85 + 38 * 0.05);
  for (const double s : {scale, 1.0}) {
    for (const double x : frames) {
      SCOPED_TRACE(x);
      std::vector<double> out(3);
      double outlier = 0;
      const double top = emissions(x, m, out, s, &outlier);
      EXPECT_NEAR(std::log(outlier) + top, std::log(flat), 1e-9);
      const Blurred b = blur(x, m, s);
      for (std::size_t i = 0; i < 3; ++i) {
        const double pure = std::log(0.98 * std::exp(logNormal(x, m.means[i], 0.05 * s)) + flat);
        EXPECT_NEAR(std::log(out[i]) + top, pure, 1e-9 * std::abs(pure));
        EXPECT_NEAR(std::log(b.pure[i]) + b.top, pure, 1e-9 * std::abs(pure));
        for (std::size_t j = i + 1; j < 3; ++j) {
          const double change = std::log(
              0.98 * std::exp(logBlurIntegral(x, m.means[i], m.means[j], 0.05 * s)) + flat);
          EXPECT_NEAR(std::log(b.mix[i * 3 + j]) + b.top, change, 1e-7 * std::abs(change));
        }
      }
    }
  }
}

}  // namespace
}  // namespace lumetra
