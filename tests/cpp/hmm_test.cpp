#include "hmm.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "hmm_bootstrap.hpp"
#include "hmm_testing.hpp"
#include "matrix_log.hpp"

namespace lumetra {
namespace {

using hmmtest::simulate;
using hmmtest::Simulated;
using hmmtest::spans;

const HmmModel kTwoStates{{0.3, 0.7}, {0.08, 0.08}, {0.5, 0.5}, {0.9, 0.1, 0.07, 0.93}};

HmmModel rough() { return {{0.2, 0.9}, {0.2, 0.2}, {0.5, 0.5}, {0.5, 0.5, 0.5, 0.5}}; }

TEST(Hmm, RecoversTheSharedModelOfManyTraces) {
  const Simulated data = simulate(kTwoStates, 60, 500, 11);
  const auto traces = spans(data.traces);
  const HmmFit fit = fitHmm(traces, rough());
  ASSERT_TRUE(fit.converged);
  EXPECT_TRUE(fit.emptyStates.empty());
  EXPECT_EQ(fit.frames, 30000U);
  for (std::size_t s = 0; s < 2; ++s) {
    EXPECT_NEAR(fit.model.means[s], kTwoStates.means[s], 0.005);
    EXPECT_NEAR(fit.model.spreads[s], 0.08, 0.003);
  }
  for (std::size_t i = 0; i < 4; ++i)
    EXPECT_NEAR(fit.model.transition[i], kTwoStates.transition[i], 0.01);
  EXPECT_NEAR(fit.logLikelihood, hmmLogLikelihood(traces, fit.model), 1e-6);
  EXPECT_GT(fit.logLikelihood, hmmLogLikelihood(traces, kTwoStates) - 10);
  // Threads only share the work.
  HmmOptions one;
  one.threads = 1;
  HmmOptions two;
  two.threads = 2;
  EXPECT_NEAR(fitHmm(traces, rough(), one).logLikelihood,
              fitHmm(traces, rough(), two).logLikelihood, 1e-6);
}

TEST(Hmm, StatesSharingALevelAreFittedAsRatesWithTheChainKept) {
  // Slow and fast states on each of two levels, in a chain 0 - 1 - 2 - 3 (rates per frame).
  const std::vector<double> q{-0.02, 0.02, 0,     0,   0.1, -0.25, 0.15, 0,
                              0,     0.15, -0.25, 0.1, 0,   0,     0.02, -0.02};
  const std::vector<std::uint8_t> chain{0, 1, 0, 0, 1, 0, 1, 0, 0, 1, 0, 1, 0, 0, 1, 0};
  HmmModel truth{{0.3, 0.3, 0.7, 0.7},
                 std::vector<double>(4, 0.08),
                 std::vector<double>(4, 0.25),
                 matrixExp(q, 4)};
  truth.levelOf = {0, 0, 1, 1};
  const Simulated data = simulate(truth, 60, 500, 5);
  HmmModel start{{0.25, 0.25, 0.8, 0.8},
                 std::vector<double>(4, 0.15),
                 std::vector<double>(4, 0.25),
                 matrixExp(q, 4)};
  start.levelOf = truth.levelOf;
  start.rates = {-0.05, 0.05, 0, 0, 0.05, -0.1, 0.05, 0, 0, 0.05, -0.1, 0.05, 0, 0, 0.05, -0.05};
  HmmOptions options;
  options.freeRates = chain;
  const HmmFit fit = fitHmm(spans(data.traces), start, options);
  ASSERT_TRUE(fit.converged);
  EXPECT_EQ(fit.model.means[0], fit.model.means[1]);
  EXPECT_EQ(fit.model.means[2], fit.model.means[3]);
  EXPECT_NEAR(fit.model.means[0], 0.3, 0.005);
  EXPECT_NEAR(fit.model.means[3], 0.7, 0.005);
  for (std::size_t i = 0; i < 16; ++i) {
    if (chain[i] != 0) {
      EXPECT_NEAR(fit.model.rates[i], q[i], 0.25 * q[i]) << i;
    } else if (i % 5 != 0) {
      EXPECT_EQ(fit.model.rates[i], 0.0) << i;
    }
  }
  const std::vector<double> p = matrixExp(fit.model.rates, 4);
  for (std::size_t i = 0; i < 16; ++i) EXPECT_NEAR(fit.model.transition[i], p[i], 1e-12);
  // The hidden states make plain EM crawl; the extrapolation reaches the same optimum sooner.
  options.accelerate = false;
  const HmmFit plain = fitHmm(spans(data.traces), start, options);
  ASSERT_TRUE(plain.converged);
  EXPECT_LT(fit.iterations * 2, plain.iterations) << fit.iterations << " " << plain.iterations;
  EXPECT_NEAR(fit.logLikelihood, plain.logLikelihood, 1e-3);
  for (std::size_t i = 0; i < 16; ++i) {
    EXPECT_NEAR(fit.model.rates[i], plain.model.rates[i], 0.005 * std::abs(plain.model.rates[i]));
  }
}

TEST(Hmm, ViterbiFollowsWellSeparatedStatesAndNaNFramesAreSkipped) {
  HmmModel sharp = kTwoStates;
  sharp.spreads = {0.02, 0.02};
  Simulated data = simulate(sharp, 3, 400, 5);
  EXPECT_EQ(viterbiPath(data.traces[0], sharp), data.states[0]);
  // NaN frames: the chain goes on through them, the fit ignores them.
  for (std::size_t t = 100; t < 110; ++t) data.traces[1][t] = std::nan("");
  const HmmFit fit = fitHmm(spans(data.traces), rough());
  EXPECT_EQ(fit.frames, 1190U);
  EXPECT_NEAR(fit.model.means[0], 0.3, 0.01);
  EXPECT_EQ(viterbiPath(data.traces[1], fit.model).size(), 400U);
}

TEST(Hmm, AStateWithoutFramesIsReportedAndKept) {
  const Simulated data = simulate(kTwoStates, 10, 300, 3);
  const HmmModel three{{0.3, 0.7, 50.0},
                       {0.08, 0.08, 0.08},
                       {0.4, 0.4, 0.2},
                       {0.8, 0.1, 0.1, 0.1, 0.8, 0.1, 0.1, 0.1, 0.8}};
  const HmmFit fit = fitHmm(spans(data.traces), three);
  EXPECT_EQ(fit.emptyStates, std::vector<std::size_t>{2});
  EXPECT_EQ(fit.model.means[2], 50.0);
  for (double p : fit.model.transition) EXPECT_TRUE(std::isfinite(p));
  EXPECT_TRUE(std::isfinite(fit.logLikelihood));
}

TEST(Hmm, FrameBlurRemovesTheBiasOfFramesThatMixTwoLevels) {
  // Rates 0.1 and 0.0666 per frame (1 and 0.666 /s at 0.1 s frames): about one frame in eleven
  // holds a change.
  const auto traces = hmmtest::simulateBlurred(0.1, 0.0666, 60, 1000, 0.06, 17);
  const HmmModel start{{0.25, 0.75}, {0.1, 0.1}, {0.5, 0.5}, {0.9, 0.1, 0.1, 0.9}};
  HmmOptions blur;
  blur.frameBlur = true;
  const HmmFit plain = fitHmm(spans(traces), start);
  const HmmFit blurred = fitHmm(spans(traces), start, blur);
  ASSERT_TRUE(blurred.converged);
  const auto rates = rateMatrix(blurred.model.transition, 2, 1.0);
  const auto biased = rateMatrix(plain.model.transition, 2, 1.0);
  ASSERT_TRUE(rates && biased);
  EXPECT_NEAR((*rates)[1], 0.1, 0.005);
  EXPECT_NEAR((*rates)[2], 0.0666, 0.0035);
  // The plain model misses changes it takes for noise.
  EXPECT_LT((*biased)[1] + (*biased)[2], 0.97 * ((*rates)[1] + (*rates)[2]));
  EXPECT_NEAR(blurred.model.means[0], 0.3, 0.003);
  EXPECT_NEAR(blurred.model.means[1], 0.7, 0.003);
  EXPECT_GT(blurred.logLikelihood, plain.logLikelihood);
  EXPECT_NEAR(blurred.logLikelihood, hmmLogLikelihood(spans(traces), blurred.model, 0, true), 1e-6);
  // A frame halfway between the levels is a change, not a state of its own.
  const std::vector<double> step{0.3, 0.3, 0.3, 0.5, 0.7, 0.7, 0.7};
  EXPECT_EQ(viterbiPath(step, blurred.model, true),
            (std::vector<std::size_t>{0, 0, 0, 1, 1, 1, 1}));
  // Also when it lies hundreds of spreads from both levels.
  HmmModel sharp = blurred.model;
  sharp.spreads = {1e-3, 1e-3};
  EXPECT_EQ(viterbiPath(step, sharp, true), (std::vector<std::size_t>{0, 0, 0, 1, 1, 1, 1}));
  const std::vector<std::span<const double>> one = {step};
  EXPECT_TRUE(std::isfinite(hmmLogLikelihood(one, sharp, 1, true)));
}

TEST(Hmm, EachTraceGetsItsOwnNoiseScaleAndTheLevelsStayShared) {
  // 30 molecules with the model's noise, 10 three times noisier.
  Simulated data = simulate(kTwoStates, 30, 400, 31);
  HmmModel noisy = kTwoStates;
  noisy.spreads = {0.24, 0.24};
  const Simulated loud = simulate(noisy, 10, 400, 32);
  data.traces.insert(data.traces.end(), loud.traces.begin(), loud.traces.end());
  const auto traces = spans(data.traces);
  HmmOptions scaled;
  scaled.fitTraceScales = true;
  const HmmFit fit = fitHmm(traces, rough(), scaled);
  ASSERT_TRUE(fit.converged);
  ASSERT_EQ(fit.model.traceScales.size(), 40U);
  for (std::size_t n = 0; n < 40; ++n) {
    EXPECT_NEAR(fit.model.spreads[0] * fit.model.traceScales[n], n < 30 ? 0.08 : 0.24,
                n < 30 ? 0.008 : 0.03);
  }
  double logSum = 0;
  for (double scale : fit.model.traceScales) logSum += std::log(scale);
  EXPECT_NEAR(logSum / 40, 0, 1e-9);  // equal frames per trace: the plain geometric mean is 1
  for (std::size_t s = 0; s < 2; ++s) EXPECT_NEAR(fit.model.means[s], kTwoStates.means[s], 0.005);
  // The scales explain the data better than one spread for all: more than their 39 parameters'
  // worth of BIC.
  const HmmFit shared = fitHmm(traces, rough());
  const double frames = std::log(static_cast<double>(fit.frames));
  EXPECT_LT(-2 * fit.logLikelihood + static_cast<double>(hmmParameterCount(2, true, 40)) * frames,
            -2 * shared.logLikelihood + static_cast<double>(hmmParameterCount(2, true)) * frames);
  EXPECT_NEAR(fit.logLikelihood, hmmLogLikelihood(traces, fit.model), 1e-6);
  // Viterbi reads a trace through its scale: a frame at 0.6 is a visit to 0.7 in a quiet trace,
  // noise in a loud one.
  const std::vector<double> x{0.3, 0.3, 0.6, 0.3, 0.3};
  const HmmModel sticky{{0.3, 0.7}, {0.1, 0.1}, {0.5, 0.5}, {0.99, 0.01, 0.01, 0.99}};
  EXPECT_EQ(viterbiPath(x, sticky, false, 0.5), (std::vector<std::size_t>{0, 0, 1, 0, 0}));
  EXPECT_EQ(viterbiPath(x, sticky, false, 2), (std::vector<std::size_t>{0, 0, 0, 0, 0}));
  // The scales ride along with their traces in the bootstrap, and with frame blur.
  HmmBootstrapOptions boot;
  boot.resamples = 3;
  boot.fit = scaled;
  for (const HmmModel& m : bootstrapHmm(traces, fit.model, boot))
    EXPECT_NEAR(m.means[1], 0.7, 0.01);
  scaled.frameBlur = true;
  EXPECT_NEAR(fitHmm(traces, fit.model, scaled).model.means[0], 0.3, 0.005);
  EXPECT_THROW(hmmLogLikelihood(spans({x}), fit.model), std::invalid_argument);
}

TEST(Hmm, OutlierFramesDoNotMoveTheLevelsAndFarFramesStayFinite) {
  Simulated data = simulate(kTwoStates, 40, 300, 41);
  // Blinks the masks missed: one frame in a hundred far outside the levels.
  Random random(42);
  std::size_t blinks = 0;
  for (auto& trace : data.traces) {
    for (double& x : trace) {
      if (random.uniform() < 0.01) {
        x = random.uniform() < 0.5 ? -87.0 : 64.0;
        ++blinks;
      }
    }
  }
  const auto traces = spans(data.traces);
  HmmModel start = rough();
  start.outlierShare = 0.01;
  start.outlierDensity = 1.0 / 3;  // flat over a range of 3
  for (const bool blur : {false, true}) {
    SCOPED_TRACE(blur);
    HmmOptions options;
    options.frameBlur = blur;
    options.fitOutliers = true;
    const HmmFit fit = fitHmm(traces, start, options);
    for (std::size_t s = 0; s < 2; ++s) {
      EXPECT_NEAR(fit.model.means[s], kTwoStates.means[s], 0.01);
      EXPECT_NEAR(fit.model.spreads[s], 0.08, 0.005);
    }
    // The flat density also covers the levels' own frames (a third of it here), so the share
    // comes out above the blinks' about as much.
    const double blinkShare = static_cast<double>(blinks) / 12000;
    EXPECT_GT(fit.model.outlierShare, blinkShare);
    EXPECT_LT(fit.model.outlierShare, 1.7 * blinkShare);
    EXPECT_TRUE(std::isfinite(fit.logLikelihood));
    // Without the term the blinks take the spread.
    options.fitOutliers = false;
    EXPECT_GT(fitHmm(traces, rough(), options).model.spreads[0], 1.0);
  }
  // A frame thousands of spreads beyond both levels is the outlier term's, whatever the path;
  // its state is the one that needs no second change.
  HmmModel sharp = kTwoStates;
  sharp.spreads = {1e-3, 1e-3};
  sharp.outlierShare = 0.01;
  sharp.outlierDensity = 1.0 / 3;
  const std::vector<double> far{0.3, 0.3, 5.0, 0.7, 0.7};
  EXPECT_EQ(viterbiPath(far, sharp, true), (std::vector<std::size_t>{0, 0, 1, 1, 1}));
  EXPECT_TRUE(std::isfinite(hmmLogLikelihood(spans({far}), sharp, 1, true)));
}

TEST(Hmm, RefusesMalformedInput) {
  const std::vector<double> x(10, 0.5);
  const std::vector<std::span<const double>> one = {x};
  HmmModel bad = kTwoStates;
  bad.transition = {0.9, 0.2, 0.1, 0.9};
  EXPECT_THROW(fitHmm(one, bad), std::invalid_argument);
  bad = kTwoStates;
  bad.spreads = {0.1};
  EXPECT_THROW(fitHmm(one, bad), std::invalid_argument);
  EXPECT_THROW(fitHmm({}, kTwoStates), std::invalid_argument);
  const std::vector<double> nan(5, std::nan(""));
  const std::vector<std::span<const double>> empty = {nan};
  EXPECT_THROW(fitHmm(empty, kTwoStates), std::invalid_argument);
  EXPECT_EQ(hmmParameterCount(2, true), 6U);
  EXPECT_EQ(hmmParameterCount(3, false), 14U);
  EXPECT_EQ(hmmParameterCount(2, true, 10, true), 16U);
  bad = kTwoStates;
  bad.traceScales = {1.0, 1.0};  // one trace
  EXPECT_THROW(fitHmm(one, bad), std::invalid_argument);
  bad.traceScales = {-1.0};
  EXPECT_THROW(fitHmm(one, bad), std::invalid_argument);
  bad = kTwoStates;
  bad.outlierShare = 1;
  bad.outlierDensity = 0.1;
  EXPECT_THROW(fitHmm(one, bad), std::invalid_argument);
}

}  // namespace
}  // namespace lumetra
