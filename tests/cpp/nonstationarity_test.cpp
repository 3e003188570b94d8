#include "nonstationarity.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace lumetra {
namespace {

constexpr std::array kAllAlgos = {NsAlgo::LocalToGlobal, NsAlgo::LeftToRight, NsAlgo::Dichotomy,
                                  NsAlgo::CircleLeftToRight};
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Noise level of the alternating 0, 1, 0, 1, ... background used below: its first differences
// are +-1 (median 0, MAD 1), so a short segment inside it leaves the estimate untouched.
const double kAlternatingSigma = 1.4826 / std::numbers::sqrt2;

std::vector<double> gaussianNoise(std::size_t n, double sigma, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, sigma);
  std::vector<double> out(n);
  for (double& x : out) x = normal(rng);
  return out;
}

// 500 alternating samples, then `segment` (starting at index 500), then 500 more.
std::vector<double> alternatingAround(const std::vector<double>& segment) {
  std::vector<double> trace;
  for (int i = 0; i < 500; ++i) trace.push_back(i % 2);
  trace.insert(trace.end(), segment.begin(), segment.end());
  for (int i = 0; i < 500; ++i) trace.push_back(i % 2);
  return trace;
}

NonStationary attach(std::vector<double> samples, std::ptrdiff_t windowsLen = 19) {
  NonStationary ns;
  ns.setupDS(windowsLen);
  ns.setData(std::move(samples));
  return ns;
}

// Expected centre-split score of two flat levels with the given noise level.
double stepScore(double delta, int nLeft, int nRight, double sigma) {
  return delta * delta * nLeft * nRight / ((nLeft + nRight) * sigma * sigma);
}

TEST(NsAlgoNames, ParsesKnownNamesAndRejectsOthers) {
  EXPECT_EQ(parseNsAlgo("NSLocaltoGlobal"), NsAlgo::LocalToGlobal);
  EXPECT_EQ(parseNsAlgo("NSLefttoRight"), NsAlgo::LeftToRight);
  EXPECT_EQ(parseNsAlgo("NSdichotomy"), NsAlgo::Dichotomy);
  EXPECT_EQ(parseNsAlgo("NSCircleLefttoRight"), NsAlgo::CircleLeftToRight);

  for (const std::string bad : {"foo", "nslocaltoglobal", "NSLocaltoGlobal ", ""}) {
    try {
      parseNsAlgo(bad);
      ADD_FAILURE() << "no exception for '" << bad << "'";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("'" + bad + "'"), std::string::npos) << e.what();
    }
  }
}

TEST(NonStationarySetup, RejectsNegativeWindowLength) {
  NonStationary ns;
  EXPECT_THROW(ns.setupDS(-1), std::invalid_argument);
  ns.setupDS(19);
  EXPECT_EQ(ns.windowsLen(), 19);
}

TEST(RobustNoiseSigma, EstimatesGaussianNoiseLevel) {
  const auto noise = gaussianNoise(200000, 2.5, 7);
  EXPECT_NEAR(robustNoiseSigma(noise), 2.5, 0.03 * 2.5);
  // Level jumps and a few wild outliers barely move a median-based estimate.
  auto spoiled = noise;
  for (std::size_t i = 0; i < spoiled.size(); ++i) {
    if (i >= 100000) spoiled[i] += 40.0;
    if (i % 5000 == 17) spoiled[i] = 1e6;
  }
  EXPECT_NEAR(robustNoiseSigma(spoiled), 2.5, 0.03 * 2.5);
}

TEST(RobustNoiseSigma, FallbacksAndDegenerateTraces) {
  // MAD is 0 (eight zero differences and one 4): population std of d / sqrt(2) = 8/9.
  EXPECT_NEAR(robustNoiseSigma(std::vector<double>{0, 0, 0, 0, 0, 0, 0, 0, 0, 4}), 8.0 / 9.0,
              1e-15);
  // Non-finite samples are skipped: differences are taken between consecutive finite samples.
  EXPECT_NEAR(robustNoiseSigma(std::vector<double>{0, kNaN, 0, 0, kInf, 0, 0, 0, 0, -kInf, 0, 0,
                                                   4}),
              8.0 / 9.0, 1e-15);
  EXPECT_EQ(robustNoiseSigma(std::vector<double>{1, 2, 3, 4, 5, 6}), 0.0);  // constant slope
  EXPECT_EQ(robustNoiseSigma(std::vector<double>{3, 3, 3}), 0.0);
  EXPECT_EQ(robustNoiseSigma(std::vector<double>{kNaN, 5.0, kInf}), 0.0);
  EXPECT_EQ(robustNoiseSigma(std::vector<double>{}), 0.0);
}

TEST(NonStationary, ConstantWindowScoresZero) {
  auto trace = gaussianNoise(400, 1.0, 11);
  for (std::size_t i = 100; i < 160; ++i) trace[i] = 1234.5678;
  trace[130] = kNaN;  // still constant once the NaN is skipped
  const auto ns = attach(trace);
  for (const NsAlgo algo : kAllAlgos) {
    EXPECT_EQ(ns.nsFuncRange(algo, 100, 160), 0.0);
    EXPECT_EQ(ns.nsFuncRange(algo, 110, 129), 0.0);
    EXPECT_GT(ns.nsFuncRange(algo, 150, 170), 0.0);  // straddles the noise: not constant
  }
}

TEST(NonStationary, CentredStepMatchesClosedForm) {
  for (const int nLeft : {9, 10}) {
    // nLeft samples at 0, then 10 at 3: a window of 19 or 20 split exactly at the step.
    std::vector<double> segment(static_cast<std::size_t>(nLeft), 0.0);
    segment.insert(segment.end(), 10, 3.0);
    const auto ns = attach(alternatingAround(segment));
    ASSERT_NEAR(ns.sigma(), kAlternatingSigma, 1e-15);

    const auto end = static_cast<std::ptrdiff_t>(500 + segment.size());
    const double expected = stepScore(3.0, nLeft, 10, kAlternatingSigma);
    EXPECT_NEAR(ns.nsFuncRange(NsAlgo::LocalToGlobal, 500, end), expected, 1e-12 * expected);
    // Both halves are flat, so no finer split and no other rotation does better.
    EXPECT_NEAR(ns.nsFuncRange(NsAlgo::Dichotomy, 500, end), expected, 1e-12 * expected);
    EXPECT_NEAR(ns.nsFuncRange(NsAlgo::CircleLeftToRight, 500, end), expected, 1e-12 * expected);
  }
}

TEST(NonStationary, LeftToRightIsSquaredTwoSampleT) {
  // left {1, 2, 3, 6} mean 3, SS 14; right {7, 9, 11, 13} mean 10, SS 20; sp^2 = 34 / 6.
  const auto ns = attach(alternatingAround({1, 2, 3, 6, 7, 9, 11, 13}));
  const double expected = 49.0 * 2.0 / (34.0 / 6.0);
  EXPECT_NEAR(ns.nsFuncRange(NsAlgo::LeftToRight, 500, 508), expected, 1e-12 * expected);
}

TEST(NonStationary, LeftToRightCapsZeroPooledVariance) {
  const auto ns = attach(alternatingAround({2, 2, 2, 2, 2, 5, 5, 5, 5, 5, 5}));
  EXPECT_EQ(ns.nsFuncRange(NsAlgo::LeftToRight, 500, 511), kNsScoreCap);
  EXPECT_EQ(kNsScoreCap, 1e150);
  // Same levels but one sample of spread: large, finite and below the cap.
  const auto spread = attach(alternatingAround({2, 2, 2, 2, 2.001, 5, 5, 5, 5, 5, 5}));
  const double score = spread.nsFuncRange(NsAlgo::LeftToRight, 500, 511);
  EXPECT_GT(score, 1e6);
  EXPECT_LT(score, kNsScoreCap);
}

TEST(NonStationary, NonFiniteSamplesAreSkipped) {
  const auto clean = gaussianNoise(300, 1.0, 21);
  std::vector<double> dirty;
  std::vector<std::ptrdiff_t> cleanIndex;  // position in `dirty` of each clean sample
  for (std::size_t i = 0; i < clean.size(); ++i) {
    if (i % 7 == 3) dirty.push_back(kNaN);
    if (i % 11 == 5) dirty.push_back(i % 2 ? kInf : -kInf);
    cleanIndex.push_back(static_cast<std::ptrdiff_t>(dirty.size()));
    dirty.push_back(clean[i] + (i >= 150 ? 2.0 : 0.0));
  }
  auto stepped = clean;
  for (std::size_t i = 150; i < stepped.size(); ++i) stepped[i] += 2.0;

  const auto withGaps = attach(dirty);
  const auto without = attach(stepped);
  EXPECT_EQ(withGaps.sigma(), without.sigma());
  EXPECT_TRUE(std::isnan(withGaps.data()[3]));  // the attached trace is kept as given

  for (const NsAlgo algo : kAllAlgos) {
    for (const std::ptrdiff_t first : {0, 130, 141, 200}) {
      for (const std::ptrdiff_t len : {4, 19, 43}) {
        const std::ptrdiff_t last = first + len;
        // The dirty slice that holds exactly clean samples [first, last), gaps included.
        const double got = withGaps.nsFuncRange(algo, cleanIndex[static_cast<std::size_t>(first)],
                                                cleanIndex[static_cast<std::size_t>(last - 1)] + 1);
        EXPECT_DOUBLE_EQ(got, without.nsFuncRange(algo, first, last))
            << "algo " << static_cast<int>(algo) << " window " << first << "+" << len;
      }
    }
  }
}

TEST(NonStationary, TooFewFiniteSamplesPerSideScoresZero) {
  // 0, NaN, 0, NaN, 9, 9: windows ending before the last 9 hold at most 3 finite samples.
  const auto sparse = attach(alternatingAround({0, kNaN, 0, kNaN, 9, 9}));
  for (const NsAlgo algo : kAllAlgos) {
    EXPECT_EQ(sparse.nsFuncRange(algo, 500, 505), 0.0);  // 0 | 0, 9
    EXPECT_EQ(sparse.nsFuncRange(algo, 500, 504), 0.0);  // 0 | 0
    EXPECT_EQ(sparse.nsFuncRange(algo, 501, 506), 0.0);  // 0 | 9, 9
    // One more finite sample gives 0, 0 | 9, 9 and a real score.
    EXPECT_GT(sparse.nsFuncRange(algo, 500, 506), 1.0);
  }
}

TEST(NonStationary, WindowBoundsFollowPythonSlices) {
  auto trace = gaussianNoise(200, 1.0, 5);
  for (std::size_t i = 100; i < trace.size(); ++i) trace[i] += 4.0;
  const auto ns = attach(trace);
  const std::ptrdiff_t n = 200;
  for (const NsAlgo algo : kAllAlgos) {
    const double tail = ns.nsFuncRange(algo, n - 110, n - 80);
    EXPECT_GT(tail, 5.0);
    EXPECT_EQ(ns.nsFuncRange(algo, -110, -80), tail);
    EXPECT_EQ(ns.nsFuncRange(algo, -110, n - 80), tail);
    EXPECT_EQ(ns.nsFuncRange(algo, 190, n + 1000), ns.nsFuncRange(algo, 190, n));
    EXPECT_EQ(ns.nsFuncRange(algo, -5000, 30), ns.nsFuncRange(algo, 0, 30));
    EXPECT_EQ(ns.nsFuncRange(algo, 120, 80), 0.0);  // start >= end: empty
    EXPECT_EQ(ns.nsFuncRange(algo, 90, 90), 0.0);
    EXPECT_EQ(ns.nsFuncRange(algo, -10, -30), 0.0);
    EXPECT_EQ(ns.nsFuncRange(algo, 250, 300), 0.0);
  }
  const NonStationary empty;
  std::vector<double> out(5, -1.0);
  empty.stream(NsAlgo::LocalToGlobal, 3, out);
  EXPECT_EQ(out, std::vector<double>(5, 0.0));
}

TEST(NonStationary, StreamMatchesPerWindowCallsBitForBit) {
  auto trace = gaussianNoise(3000, 1.3, 99);
  std::mt19937_64 rng(123);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  double level = 0.0;
  for (double& x : trace) {
    if (unit(rng) < 0.01) level += 3.0 * (unit(rng) - 0.5);
    x += 1e4 + level;
    if (unit(rng) < 0.05) x = kNaN;
  }
  const auto ns = attach(trace, 19);
  const auto n = static_cast<std::ptrdiff_t>(trace.size());
  for (const NsAlgo algo : kAllAlgos) {
    for (const std::ptrdiff_t len : {std::ptrdiff_t{19}, std::ptrdiff_t{8}, std::ptrdiff_t{64},
                                     std::ptrdiff_t{-2990}}) {
      std::vector<double> out(static_cast<std::size_t>(n + 5));  // runs off the end
      ns.stream(algo, len, out);
      for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(out.size()); ++i) {
        const double expected = ns.nsFuncRange(algo, i, i + len);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(out[static_cast<std::size_t>(i)]),
                  std::bit_cast<std::uint64_t>(expected))
            << "algo " << static_cast<int>(algo) << " len " << len << " window " << i;
      }
    }
  }
}

TEST(NonStationary, CircleCatchesExcursionTheCentreSplitMisses) {
  // A flat window around a noisy background; sigma comes from the noise.
  auto build = [](const std::vector<double>& window) {
    auto trace = gaussianNoise(600, 1.0, 31);
    for (std::size_t i = 0; i < window.size(); ++i) trace[300 + i] = window[i];
    return attach(trace);
  };
  // 21 samples: a 10-sample excursion to 4 across the centre, then one wrapping round the ends;
  // either way each half of the centre split holds 5 raised samples.
  std::vector<double> middle(21, 0.0);
  std::vector<double> wrapped(21, 0.0);
  for (std::size_t i = 0; i < 10; ++i) {
    middle[5 + i] = 4.0;
    wrapped[(16 + i) % 21] = 4.0;
  }
  for (const auto& window : {middle, wrapped}) {
    const auto ns = build(window);
    const double expected = stepScore(4.0, 10, 11, ns.sigma());
    EXPECT_NEAR(ns.nsFuncRange(NsAlgo::CircleLeftToRight, 300, 321), expected, 1e-9 * expected);
    EXPECT_LT(ns.nsFuncRange(NsAlgo::LocalToGlobal, 300, 321), 0.02 * expected);
  }
}

TEST(NonStationary, DichotomyFindsOffCentreStep) {
  // 16 samples stepping from 0 to 2 after the first 4: the centre split sees half the step, the
  // split of the left half sees all of it.
  auto trace = gaussianNoise(600, 1.0, 41);
  for (std::size_t i = 0; i < 16; ++i) trace[300 + i] = i < 4 ? 0.0 : 2.0;
  const auto ns = attach(trace);
  const double sigma = ns.sigma();
  const double centre = ns.nsFuncRange(NsAlgo::LocalToGlobal, 300, 316);
  EXPECT_NEAR(centre, stepScore(1.0, 8, 8, sigma), 1e-9 * centre);
  const double dyadic = ns.nsFuncRange(NsAlgo::Dichotomy, 300, 316);
  EXPECT_NEAR(dyadic, stepScore(2.0, 4, 4, sigma), 1e-9 * dyadic);
}

TEST(NonStationary, WhiteNoiseScoresAverageToTheirNullMeans) {
  const auto noise = gaussianNoise(1000000, 0.7, 2024);
  const auto ns = attach(noise, 19);
  std::vector<double> out(noise.size() - 18);
  const auto mean = [&out] {
    double sum = 0.0;
    for (const double v : out) sum += v;
    return sum / static_cast<double>(out.size());
  };
  ns.stream(NsAlgo::LocalToGlobal, 19, out);
  EXPECT_NEAR(mean(), 1.0, 0.05);
  // Squared t with 17 degrees of freedom: mean 17 / 15.
  ns.stream(NsAlgo::LeftToRight, 19, out);
  EXPECT_NEAR(mean(), 17.0 / 15.0, 0.05);
}

TEST(NonStationary, ScoresDoNotDependOnUnitsOrOffset) {
  auto base = gaussianNoise(5000, 1.0, 77);
  for (std::size_t i = 0; i < base.size(); ++i) base[i] += (i / 250) % 2 ? 1.5 : 0.0;
  const auto reference = attach(base);
  for (const double scale : {1e-300, 1e-150, 1e150, 1e300}) {
    auto scaled = base;
    for (double& x : scaled) x *= scale;
    const auto ns = attach(scaled);
    EXPECT_NEAR(ns.sigma() / scale, reference.sigma(), 1e-12 * reference.sigma());
    for (const NsAlgo algo : kAllAlgos) {
      for (std::ptrdiff_t i = 0; i < 5000; i += 37) {
        const double want = reference.nsFuncRange(algo, i, i + 19);
        EXPECT_NEAR(ns.nsFuncRange(algo, i, i + 19), want, 1e-9 * want + 1e-12)
            << "scale " << scale << " algo " << static_cast<int>(algo) << " at " << i;
      }
    }
  }
  // A large offset costs only the rounding of the inputs themselves (ulp(1e9) ~ 1e-7).
  auto shifted = base;
  for (double& x : shifted) x += 1e9;
  const auto ns = attach(shifted);
  for (const NsAlgo algo : kAllAlgos) {
    for (std::ptrdiff_t i = 0; i < 5000; i += 37) {
      const double want = reference.nsFuncRange(algo, i, i + 19);
      EXPECT_NEAR(ns.nsFuncRange(algo, i, i + 19), want, 1e-5 * want + 1e-6);
    }
  }
}

TEST(NonStationary, ScoresStayFiniteOnExtremeValues) {
  std::mt19937_64 rng(555);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_int_distribution<int> decade(-300, 300);
  std::vector<double> trace(4000);
  for (double& x : trace) {
    const double r = unit(rng);
    if (r < 0.03) x = kNaN;
    else if (r < 0.05) x = r < 0.04 ? kInf : -kInf;
    else if (r < 0.07) x = (r < 0.06 ? 1.0 : -1.0) * std::numeric_limits<double>::max();
    else if (r < 0.09) x = std::numeric_limits<double>::denorm_min();
    else x = (unit(rng) - 0.5) * std::pow(10.0, decade(rng));
  }
  const auto ns = attach(trace);
  EXPECT_TRUE(std::isfinite(ns.sigma()));
  for (const NsAlgo algo : kAllAlgos) {
    for (const std::ptrdiff_t len : {4, 5, 19, 64}) {
      std::vector<double> out(trace.size());
      ns.stream(algo, len, out);
      for (std::size_t i = 0; i < out.size(); ++i) {
        ASSERT_TRUE(std::isfinite(out[i]) && out[i] >= 0.0)
            << "algo " << static_cast<int>(algo) << " len " << len << " at " << i << ": "
            << out[i];
      }
    }
  }
}

}  // namespace
}  // namespace lumetra
