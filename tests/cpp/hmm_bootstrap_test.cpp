#include "hmm_bootstrap.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <span>
#include <stdexcept>
#include <vector>

#include "hmm_chunked_source.hpp"
#include "hmm_linear_bootstrap.hpp"
#include "hmm_testing.hpp"

namespace lumetra {
namespace {

const HmmModel kTwoStates{{0.3, 0.7}, {0.1, 0.1}, {0.5, 0.5}, {0.9, 0.1, 0.07, 0.93}};

TEST(HmmBootstrap, DeterministicGivenTheSeedAndCoversTheTruth) {
  const auto data = hmmtest::simulate(kTwoStates, 40, 300, 21);
  const auto traces = hmmtest::spans(data.traces);
  const HmmModel full = fitHmm(traces, kTwoStates).model;
  HmmBootstrapOptions options;
  options.resamples = 40;
  options.seed = 7;
  options.threads = 1;
  const auto one = bootstrapHmm(traces, full, options);
  options.threads = 2;
  const auto two = bootstrapHmm(traces, full, options);
  ASSERT_EQ(one.size(), 40U);
  for (std::size_t r = 0; r < one.size(); ++r) {
    EXPECT_EQ(one[r].transition, two[r].transition);
    EXPECT_EQ(one[r].means, two[r].means);
  }
  options.seed = 8;
  EXPECT_NE(bootstrapHmm(traces, full, options)[0].transition, one[0].transition);
  // The resampled P(0 -> 1) spreads around the fit and its range holds the truth.
  std::vector<double> p01;
  p01.reserve(one.size());
  for (const HmmModel& m : one) p01.push_back(m.transition[1]);
  const auto [low, high] = std::minmax_element(p01.begin(), p01.end());
  EXPECT_LT(*low, 0.1);
  EXPECT_GT(*high, 0.1);
  EXPECT_LT(*high - *low, 0.05);
}

TEST(HmmBootstrap, ATraceDrawnTwiceIsOneTraceCountedTwice) {
  const auto data = hmmtest::simulate(kTwoStates, 3, 300, 5);
  const auto& t = data.traces;
  const std::vector<std::span<const double>> repeated{t[0], t[1], t[0], t[2], t[0]};
  const std::vector<std::span<const double>> distinct{t[0], t[1], t[2]};
  HmmOptions options;
  options.frameBlur = true;
  options.fitTraceScales = true;
  const HmmFit drawn = fitHmm(repeated, kTwoStates, options);
  options.traceWeights = {3, 1, 1};
  const HmmFit counted = fitHmm(distinct, kTwoStates, options);
  EXPECT_EQ(counted.frames, drawn.frames);
  EXPECT_NEAR(counted.logLikelihood, drawn.logLikelihood, 1e-9 * std::abs(drawn.logLikelihood));
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_NEAR(counted.model.transition[i], drawn.model.transition[i], 1e-9);
  }
  for (std::size_t s = 0; s < 2; ++s) {
    EXPECT_NEAR(counted.model.means[s], drawn.model.means[s], 1e-9);
    EXPECT_NEAR(counted.model.spreads[s], drawn.model.spreads[s], 1e-9);
  }
  EXPECT_NEAR(counted.model.traceScales[0], drawn.model.traceScales[4], 1e-9);
  options.traceWeights = {3, 1};
  EXPECT_THROW(fitHmm(distinct, kTwoStates, options), std::invalid_argument);
}

TEST(HmmBootstrap, AnEmptyStateStaysFinite) {
  const auto data = hmmtest::simulate(kTwoStates, 10, 200, 4);
  const auto traces = hmmtest::spans(data.traces);
  const HmmModel three{{0.3, 0.7, 50.0},
                       {0.1, 0.1, 0.1},
                       {0.4, 0.4, 0.2},
                       {0.8, 0.1, 0.1, 0.1, 0.8, 0.1, 0.1, 0.1, 0.8}};
  HmmBootstrapOptions options;
  options.resamples = 5;
  for (const HmmModel& m : bootstrapHmm(traces, three, options)) {
    EXPECT_EQ(m.means[2], 50.0);
    for (double p : m.transition) EXPECT_TRUE(std::isfinite(p));
  }
}

// Resample by resample, the linearised bootstrap lands where the refit does: its error is small
// against the spread of the refits, for a free transition matrix and for rates, with frame blur
// and trace scales.
TEST(HmmBootstrap, LinearisedResamplesLandWhereTheRefitsDo) {
  // Levels two spreads apart: EM moves slowly, so a single EM step from the fit falls far short
  // (off by a fifth of the refits' variance; the linearised bootstrap by a 27th).
  const HmmModel close{{0.4, 0.6}, {0.1, 0.1}, {0.5, 0.5}, {0.9, 0.1, 0.07, 0.93}};
  const auto data = hmmtest::simulate(close, 40, 300, 21);
  const auto traces = hmmtest::spans(data.traces);
  for (const bool rates : {false, true}) {
    HmmBootstrapOptions options;
    options.resamples = 40;
    options.fit.frameBlur = true;
    options.fit.fitTraceScales = true;
    if (rates) options.fit.freeRates = {0, 1, 1, 0};
    const HmmModel full = fitHmm(traces, close, options.fit).model;
    const auto refits = bootstrapHmm(traces, full, options);
    const auto linear = linearisedBootstrapHmm(traces, full, options);
    ASSERT_EQ(linear.size(), refits.size());
    double spread = 0, error = 0;
    for (std::size_t r = 0; r < refits.size(); ++r) {
      spread += std::pow(refits[r].transition[1] - full.transition[1], 2);
      error += std::pow(linear[r].transition[1] - refits[r].transition[1], 2);
      EXPECT_NEAR(linear[r].means[0], refits[r].means[0], 0.002);
    }
    EXPECT_LT(error, 0.08 * spread) << (rates ? "rates" : "transition matrix");
  }
}

// Traces held in two chunks elsewhere, their E-steps and trace tallies sent as flat tallies, give
// the linearised bootstrap of the traces in this process (the default noise model), but for the
// rounding of sums taken in another order.
TEST(HmmBootstrap, LinearisedOverChunksOfTracesIsTheOneOfTheSpans) {
  const auto data = hmmtest::simulateBlurred(0.1, 0.0666, 30, 400, 0.06, 23);
  const auto traces = hmmtest::spans(data);
  HmmModel start{{0.25, 0.75}, {0.1, 0.1}, {0.5, 0.5}, {0.9, 0.1, 0.1, 0.9}};
  start.outlierShare = 0.01;
  start.outlierDensity = 1.0 / 3;
  HmmBootstrapOptions options;
  options.resamples = 20;
  options.fit.frameBlur = true;
  options.fit.fitTraceScales = true;
  options.fit.fitOutliers = true;
  const HmmModel full = fitHmm(traces, start, options.fit).model;
  const auto local = linearisedBootstrapHmm(traces, full, options);
  hmmtest::ChunkedSource chunks(traces, 2);
  const auto chunked = linearisedBootstrapHmm(chunks, full, options);
  ASSERT_EQ(chunked.size(), local.size());
  for (std::size_t r = 0; r < local.size(); ++r) {
    for (std::size_t s = 0; s < 2; ++s) {
      EXPECT_NEAR(chunked[r].means[s], local[r].means[s], 1e-12);
      EXPECT_NEAR(chunked[r].spreads[s], local[r].spreads[s], 1e-12);
    }
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_NEAR(chunked[r].transition[i], local[r].transition[i], 1e-12);
    }
    EXPECT_NEAR(chunked[r].outlierShare, local[r].outlierShare, 1e-12);
  }

  HmmModel fewerScales = full;
  fewerScales.traceScales.pop_back();
  EXPECT_THROW(linearisedBootstrapHmm(chunks, fewerScales, options), std::invalid_argument);
}

}  // namespace
}  // namespace lumetra
