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
// Noise level of an alternating 0, 1, 0, ... background: differences +-1, median 0, MAD 1.
const double kAlternatingSigma = 1.4826 / std::numbers::sqrt2;

std::vector<double> noise(std::size_t n, double sigma, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, sigma);
  std::vector<double> out(n);
  for (double& x : out) x = normal(rng);
  return out;
}

// `segment` at index 500 of an alternating background of 1000 samples (sigma unaffected).
std::vector<double> alternatingAround(const std::vector<double>& segment) {
  std::vector<double> trace;
  for (int i = 0; i < 1000; ++i) {
    if (i == 500) trace.insert(trace.end(), segment.begin(), segment.end());
    trace.push_back(i % 2);
  }
  return trace;
}

NonStationary attach(std::vector<double> samples) {
  NonStationary ns;
  ns.setupDS(19);
  ns.setData(std::move(samples));
  return ns;
}

double stepScore(double delta, int nLeft, int nRight, double sigma) {
  return delta * delta * nLeft * nRight / ((nLeft + nRight) * sigma * sigma);
}

// Scores of windows [i, i + 19) every 37 samples agree within rel * want + abs.
void expectSameScores(const NonStationary& got, const NonStationary& want, double rel, double abs,
                      std::ptrdiff_t skipFrom = -1, std::ptrdiff_t skipTo = -1) {
  for (const NsAlgo algo : kAllAlgos) {
    for (std::ptrdiff_t i = 0; i + 19 <= static_cast<std::ptrdiff_t>(want.data().size()); i += 37) {
      if (i >= skipFrom && i < skipTo) continue;
      const double w = want.nsFuncRange(algo, i, i + 19);
      EXPECT_NEAR(got.nsFuncRange(algo, i, i + 19), w, rel * w + abs)
          << "algo " << static_cast<int>(algo) << " at " << i;
    }
  }
}

TEST(NonStationaryNames, ParsesKnownNamesAndRejectsOthers) {
  EXPECT_EQ(parseNsAlgo("NSLocaltoGlobal"), NsAlgo::LocalToGlobal);
  EXPECT_EQ(parseNsAlgo("NSLefttoRight"), NsAlgo::LeftToRight);
  EXPECT_EQ(parseNsAlgo("NSdichotomy"), NsAlgo::Dichotomy);
  EXPECT_EQ(parseNsAlgo("NSCircleLefttoRight"), NsAlgo::CircleLeftToRight);
  for (const std::string bad : {"foo", "nslocaltoglobal", ""}) {
    try {
      parseNsAlgo(bad);
      ADD_FAILURE() << "no exception for '" << bad << "'";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("'" + bad + "'"), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(NonStationary().setupDS(-1), std::invalid_argument);
}

TEST(RobustNoiseSigma, EstimatesNoiseAndHandlesDegenerateTraces) {
  auto trace = noise(200000, 2.5, 7);
  for (std::size_t i = 100000; i < trace.size(); ++i) trace[i] += 40.0;  // a jump barely counts
  EXPECT_NEAR(robustNoiseSigma(trace), 2.5, 0.03 * 2.5);
  // MAD 0 (eight zero differences and a 4): population std of d / sqrt(2) = 8/9, with the
  // differences taken between consecutive finite samples.
  EXPECT_NEAR(robustNoiseSigma(std::vector<double>{0, 0, 0, 0, 0, 0, 0, 0, 0, 4}), 8.0 / 9, 1e-15);
  EXPECT_NEAR(
      robustNoiseSigma(std::vector<double>{0, kNaN, 0, 0, kInf, 0, 0, 0, 0, -kInf, 0, 0, 4}),
      8.0 / 9, 1e-15);
  EXPECT_EQ(robustNoiseSigma(std::vector<double>{1, 2, 3, 4, 5}), 0.0);  // constant slope
  EXPECT_EQ(robustNoiseSigma(std::vector<double>{kNaN, 5.0, kInf}), 0.0);
}

TEST(NonStationary, ConstantWindowScoresZero) {
  // Exactly 0, although sums over a long noisy trace far from 0 do not cancel exactly.
  auto trace = noise(20000, 3.7, 11);
  for (std::size_t i = 0; i < trace.size(); ++i) {
    trace[i] = i >= 15000 && i < 15060 ? (i == 15030 ? kNaN : 1234.5678) : trace[i] + 1000.0;
  }
  const auto ns = attach(trace);
  for (const NsAlgo algo : kAllAlgos) {
    for (std::ptrdiff_t i = 15000; i + 19 <= 15060; ++i) {
      EXPECT_EQ(ns.nsFuncRange(algo, i, i + 19), 0.0) << "algo " << static_cast<int>(algo);
    }
    EXPECT_GT(ns.nsFuncRange(algo, 15050, 15070), 0.0);  // half noise: not constant
  }
}

TEST(NonStationary, CentredStepMatchesClosedForm) {
  for (const int nLeft : {9, 10}) {
    std::vector<double> segment(static_cast<std::size_t>(nLeft), 0.0);
    segment.insert(segment.end(), 10, 3.0);
    const auto ns = attach(alternatingAround(segment));
    ASSERT_NEAR(ns.sigma(), kAlternatingSigma, 1e-15);
    const double want = stepScore(3.0, nLeft, 10, kAlternatingSigma);
    for (const NsAlgo algo :
         {NsAlgo::LocalToGlobal, NsAlgo::Dichotomy, NsAlgo::CircleLeftToRight}) {
      EXPECT_NEAR(ns.nsFuncRange(algo, 500, 510 + nLeft), want, 1e-12 * want);
    }
  }
}

TEST(NonStationary, LeftToRightIsSquaredTwoSampleTAndCapsZeroVariance) {
  // left {1, 2, 3, 6}: mean 3, SS 14; right {7, 9, 11, 13}: mean 10, SS 20; sp^2 = 34 / 6.
  const double want = 49.0 * 2.0 / (34.0 / 6.0);
  EXPECT_NEAR(attach(alternatingAround({1, 2, 3, 6, 7, 9, 11, 13}))
                  .nsFuncRange(NsAlgo::LeftToRight, 500, 508),
              want, 1e-12 * want);
  const auto flat = attach(alternatingAround({2, 2, 2, 2, 2, 5, 5, 5, 5, 5, 5}));
  EXPECT_EQ(flat.nsFuncRange(NsAlgo::LeftToRight, 500, 511), kNsScoreCap);
  const auto almostFlat = attach(alternatingAround({2, 2, 2, 2, 2.001, 5, 5, 5, 5, 5, 5}));
  const double score = almostFlat.nsFuncRange(NsAlgo::LeftToRight, 500, 511);
  EXPECT_GT(score, 1e6);
  EXPECT_LT(score, kNsScoreCap);
}

TEST(NonStationary, NonFiniteSamplesAreSkipped) {
  auto clean = noise(300, 1.0, 21);
  for (std::size_t i = 150; i < clean.size(); ++i) clean[i] += 2.0;
  std::vector<double> dirty;
  std::vector<std::ptrdiff_t> at;  // index in `dirty` of each clean sample
  for (std::size_t i = 0; i < clean.size(); ++i) {
    if (i % 7 == 3) dirty.push_back(kNaN);
    if (i % 11 == 5) dirty.push_back(i % 2 ? kInf : -kInf);
    at.push_back(static_cast<std::ptrdiff_t>(dirty.size()));
    dirty.push_back(clean[i]);
  }
  const auto withGaps = attach(dirty);
  const auto without = attach(clean);
  EXPECT_EQ(withGaps.sigma(), without.sigma());
  for (const NsAlgo algo : kAllAlgos) {
    for (const std::size_t first : {0, 130, 141, 200}) {
      for (const std::size_t len : {4, 19, 43}) {
        EXPECT_DOUBLE_EQ(withGaps.nsFuncRange(algo, at[first], at[first + len - 1] + 1),
                         without.nsFuncRange(algo, static_cast<std::ptrdiff_t>(first),
                                             static_cast<std::ptrdiff_t>(first + len)));
      }
    }
  }
}

TEST(NonStationary, TooFewFiniteSamplesPerSideScoresZero) {
  const auto ns = attach(alternatingAround({0, kNaN, 0, kNaN, 9, 9}));
  for (const NsAlgo algo : kAllAlgos) {
    EXPECT_EQ(ns.nsFuncRange(algo, 500, 505), 0.0);  // 0 | 0, 9
    EXPECT_EQ(ns.nsFuncRange(algo, 501, 506), 0.0);  // 0 | 9, 9
    EXPECT_GT(ns.nsFuncRange(algo, 500, 506), 1.0);  // 0, 0 | 9, 9
  }
}

TEST(NonStationary, WindowBoundsFollowPythonSlices) {
  auto trace = noise(200, 1.0, 5);
  for (std::size_t i = 100; i < trace.size(); ++i) trace[i] += 4.0;
  const auto ns = attach(trace);
  for (const NsAlgo algo : kAllAlgos) {
    const double straddle = ns.nsFuncRange(algo, 90, 120);
    EXPECT_GT(straddle, 5.0);
    EXPECT_EQ(ns.nsFuncRange(algo, -110, -80), straddle);
    EXPECT_EQ(ns.nsFuncRange(algo, 190, 1000), ns.nsFuncRange(algo, 190, 200));
    EXPECT_EQ(ns.nsFuncRange(algo, -5000, 30), ns.nsFuncRange(algo, 0, 30));
    EXPECT_EQ(ns.nsFuncRange(algo, 120, 80), 0.0);
    EXPECT_EQ(ns.nsFuncRange(algo, -10, -30), 0.0);
    EXPECT_EQ(ns.nsFuncRange(algo, 250, 300), 0.0);
  }
}

TEST(NonStationary, StreamMatchesPerWindowCallsBitForBit) {
  auto trace = noise(3000, 1.3, 99);
  std::mt19937_64 rng(123);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  double level = 1e4;
  for (double& x : trace) {
    if (unit(rng) < 0.01) level += 3.0 * (unit(rng) - 0.5);
    x = unit(rng) < 0.05 ? kNaN : x + level;
  }
  const auto ns = attach(trace);
  for (const NsAlgo algo : kAllAlgos) {
    for (const std::ptrdiff_t len : {19, 8, 64, -2990}) {
      std::vector<double> out(trace.size() + 5);  // runs off the end
      ns.stream(algo, len, out);
      for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(out.size()); ++i) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(out[static_cast<std::size_t>(i)]),
                  std::bit_cast<std::uint64_t>(ns.nsFuncRange(algo, i, i + len)))
            << "algo " << static_cast<int>(algo) << " len " << len << " window " << i;
      }
    }
  }
}

TEST(NonStationary, CircleAndDichotomyCatchWhatTheCentreSplitMisses) {
  const auto withWindow = [](const std::vector<double>& window) {
    auto trace = noise(600, 1.0, 31);
    std::copy(window.begin(), window.end(), trace.begin() + 300);
    return attach(trace);
  };
  // 21 samples with 10 raised to 4 across the centre, or wrapping round the ends: each half of
  // the centre split holds 5 of them, one arc of 10 holds all.
  std::vector<double> middle(21, 0.0);
  std::vector<double> wrapped(21, 0.0);
  for (std::size_t i = 0; i < 10; ++i) middle[5 + i] = wrapped[(16 + i) % 21] = 4.0;
  for (const auto& window : {middle, wrapped}) {
    const auto ns = withWindow(window);
    const double want = stepScore(4.0, 10, 11, ns.sigma());
    EXPECT_NEAR(ns.nsFuncRange(NsAlgo::CircleLeftToRight, 300, 321), want, 1e-9 * want);
    EXPECT_LT(ns.nsFuncRange(NsAlgo::LocalToGlobal, 300, 321), 0.02 * want);
  }
  // 16 samples stepping 0 -> 2 after 4: the centre split sees half the step, the split of the
  // left half all of it.
  std::vector<double> offCentre(16, 2.0);
  std::fill_n(offCentre.begin(), 4, 0.0);
  const auto ns = withWindow(offCentre);
  EXPECT_NEAR(ns.nsFuncRange(NsAlgo::LocalToGlobal, 300, 316), stepScore(1, 8, 8, ns.sigma()),
              1e-9);
  EXPECT_NEAR(ns.nsFuncRange(NsAlgo::Dichotomy, 300, 316), stepScore(2, 4, 4, ns.sigma()), 1e-9);
}

TEST(NonStationary, ScoresDoNotDependOnUnitsOffsetsOrDistantOutliers) {
  auto base = noise(5000, 1.0, 77);
  for (std::size_t i = 0; i < base.size(); ++i) base[i] += (i / 250) % 2 ? 1.5 : 0.0;
  const auto reference = attach(base);
  for (const double scale : {1e-300, 1e-150, 1e150, 1e307}) {
    auto scaled = base;
    for (double& x : scaled) x *= scale;
    const auto ns = attach(scaled);
    EXPECT_NEAR(ns.sigma() / scale, reference.sigma(), 1e-12 * reference.sigma());
    expectSameScores(ns, reference, 1e-9, 1e-12);
  }
  auto shifted = base;
  for (double& x : shifted) x += 1e9;  // costs only the rounding of the inputs (ulp ~1e-7)
  expectSameScores(attach(shifted), reference, 1e-5, 1e-6);

  // A jump of 1e10 against one of 100 (equal robust sigma); windows across it are skipped.
  auto smallJump = base;
  auto hugeJump = base;
  for (std::size_t i = 2000; i < base.size(); ++i) {
    smallJump[i] += 100.0;
    hugeJump[i] += 1e10;
  }
  expectSameScores(attach(hugeJump), attach(smallJump), 1e-4, 1e-4, 2000 - 18, 2000);

  // Tiny values next to one outlier of 1e200 against one of 1 at the same place.
  auto tiny = base;
  for (double& x : tiny) x *= 1e-10;
  tiny[4999] = 1.0;
  const auto moderate = attach(tiny);
  tiny[4999] = 1e200;
  expectSameScores(attach(tiny), moderate, 1e-9, 1e-12, 4999 - 18, 5000);
}

TEST(NonStationary, ScoresStayFiniteOnExtremeValues) {
  std::mt19937_64 rng(555);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_int_distribution<int> decade(-300, 300);
  std::vector<double> trace(4000);
  for (double& x : trace) {
    const double r = unit(rng);
    const double big = std::numeric_limits<double>::max();
    x = r < 0.03   ? kNaN
        : r < 0.05 ? (r < 0.04 ? kInf : -kInf)
        : r < 0.07 ? (r < 0.06 ? big : -big)
        : r < 0.09 ? std::numeric_limits<double>::denorm_min()
                   : (unit(rng) - 0.5) * std::pow(10.0, decade(rng));
  }
  const auto ns = attach(trace);
  EXPECT_TRUE(std::isfinite(ns.sigma()));
  std::vector<double> out(trace.size());
  for (const NsAlgo algo : kAllAlgos) {
    for (const std::ptrdiff_t len : {4, 5, 19, 64}) {
      ns.stream(algo, len, out);
      for (std::size_t i = 0; i < out.size(); ++i) {
        ASSERT_TRUE(std::isfinite(out[i]) && out[i] >= 0.0)
            << "algo " << static_cast<int>(algo) << " len " << len << " at " << i << ": " << out[i];
      }
    }
  }
  std::vector<double> empty(3, -1.0);
  NonStationary().stream(NsAlgo::LocalToGlobal, 3, empty);  // nothing attached
  EXPECT_EQ(empty, std::vector<double>(3, 0.0));
}

}  // namespace
}  // namespace lumetra
