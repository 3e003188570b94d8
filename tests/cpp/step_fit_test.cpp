#include "step_fit.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "simulate.hpp"

namespace lumetra {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr StepFitSettings kSettings{9, 0.177, 0.2, 0};

SimulatedTrace simulated(std::uint64_t seed, std::size_t frames = 3000) {
  return simulateTrace({.levels = {300, 800, 1300},
                        .meanDwell = {200, 200, 200},
                        .noiseSigma = 40,
                        .frames = frames,
                        .frameStep = 0.1,
                        .seed = seed});
}

StepFit fit(std::span<const double> frames, std::span<const double> intensity,
            const StepFitSettings& settings = kSettings) {
  NonStationary stream;
  stream.setData({intensity.begin(), intensity.end()});
  return fitSteps(frames, intensity, NaNRule::skip, stream, settings);
}

// Frames at which the ideal level changes.
std::vector<std::ptrdiff_t> transitions(const SimulatedTrace& t) {
  std::vector<std::ptrdiff_t> out;
  for (std::size_t i = 1; i < t.ideal.size(); ++i) {
    if (t.ideal[i] != t.ideal[i - 1]) out.push_back(static_cast<std::ptrdiff_t>(i));
  }
  return out;
}

// Whether a frame lies in a stretch between two consecutive partitions.
bool betweenPartitions(const std::vector<Partition>& parts, std::ptrdiff_t frame) {
  for (std::size_t k = 1; k < parts.size(); ++k) {
    if (parts[k - 1].end <= frame && frame <= parts[k].start) return true;
  }
  return false;
}

TEST(FitSteps, PartitionsAreSeparatedAtTheTrueTransitions) {
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    SCOPED_TRACE(seed);
    const SimulatedTrace t = simulated(seed);
    const StepFit f = fit(t.time, t.intensity);
    const auto truth = transitions(t);
    ASSERT_GE(f.partitions.size(), 5u);
    EXPECT_EQ(f.partitions.front().start, 0);
    EXPECT_EQ(f.partitions.back().end, 3000);
    EXPECT_EQ(f.moments.size(), f.partitions.size());
    ASSERT_EQ(f.candidates.size(), f.kept.size());
    // Every stretch between two partitions holds a true transition, give or take the half window
    // (a stretch at the start of the trace is cut short there).
    const std::ptrdiff_t h = kSettings.halfWinLen;
    for (std::size_t k = 1; k < f.partitions.size(); ++k) {
      const std::ptrdiff_t from = f.partitions[k - 1].end - h, to = f.partitions[k].start + h;
      ASSERT_LT(from, to);
      EXPECT_TRUE(std::any_of(truth.begin(), truth.end(),
                              [&](std::ptrdiff_t x) { return from <= x && x <= to; }))
          << "no transition in [" << from << ", " << to << "]";
    }
    // Every transition between two dwells of 50 frames or more is found.
    for (std::size_t i = 0; i < truth.size(); ++i) {
      const std::ptrdiff_t before = truth[i] - (i > 0 ? truth[i - 1] : 0);
      const std::ptrdiff_t after = (i + 1 < truth.size() ? truth[i + 1] : 3000) - truth[i];
      if (before < 50 || after < 50) continue;
      EXPECT_TRUE(betweenPartitions(f.partitions, truth[i])) << "missed " << truth[i];
    }
    const auto score = scoreStepFit(f.partitions, t.intensity, PeakIndex(f.pairs), f.pairs.size());
    ASSERT_TRUE(score.has_value());
    EXPECT_TRUE(std::isfinite(*score));
  }
}

TEST(FitSteps, RejectsTracesItDoesNotModel) {
  const SimulatedTrace t = simulated(1, 200);
  // shorter than one window
  EXPECT_THROW(fit(std::span(t.time).first(18), std::span(t.intensity).first(18)),
               StepFitUnsupported);
  EXPECT_NO_THROW(fit(std::span(t.time).first(19), std::span(t.intensity).first(19)));
  // a frame time repeated, or not finite
  for (double bad : {t.time[100], kNaN, kInf}) {
    std::vector<double> frames = t.time;
    frames[101] = bad;
    EXPECT_THROW(fit(frames, t.intensity), StepFitUnsupported) << bad;
  }
  EXPECT_THROW(fit(t.time, t.intensity, {0, 0.177, 0.2, 0}), StepFitUnsupported);
  // half windows whose window length does not fit in an index
  constexpr std::ptrdiff_t kMax = std::numeric_limits<std::ptrdiff_t>::max();
  for (std::ptrdiff_t huge : {std::ptrdiff_t{1} << 62, kMax, kMax - 1, kMax / 2 + 1, kMax / 2}) {
    EXPECT_THROW(fit(t.time, t.intensity, {huge, 0.177, 0.2, 0}), StepFitUnsupported) << huge;
  }
  EXPECT_THROW(fit(t.time, std::span(t.intensity).first(199)), StepFitUnsupported);
}

TEST(StreamThreshold, IsThreeMeansOrTwiceTheFirstMinimum) {
  using V = std::vector<double>;
  EXPECT_DOUBLE_EQ(streamThreshold(V{1, 2, 3}), 6.0);
  EXPECT_DOUBLE_EQ(streamThreshold(V{-1, 0.5, 0.5}), 2.0);  // mean 0 is not positive
  EXPECT_DOUBLE_EQ(streamThreshold(V{-3, -1, -2}), 6.0);
  // NaN: the mean is not positive, and the minimum is taken as min() takes it
  EXPECT_DOUBLE_EQ(streamThreshold(V{1, kNaN, -1}), 2.0);
  EXPECT_TRUE(std::isnan(streamThreshold(V{kNaN, 1, -1})));
  EXPECT_THROW(streamThreshold(V{}), std::invalid_argument);
}

TEST(ScoreStepFit, NothingWhenNoFrameIsLeft) {
  const std::vector<double> trace{1, 3, 1, 3, 10, 12, 10, 12};
  const std::vector<Partition> parts{{0, 4, 0}, {4, 8, 1}};
  const std::vector<PeakBounds> none{}, all{{0, 7}}, some{{3, 4}};
  EXPECT_EQ(scoreStepFit(parts, trace, PeakIndex(none), 0), std::optional<double>(18.0));
  EXPECT_NEAR(*scoreStepFit(parts, trace, PeakIndex(some), 1), 24 + 6 * std::log(8.0 / 9), 1e-12);
  EXPECT_EQ(scoreStepFit(parts, trace, PeakIndex(all), 1), std::nullopt);
  EXPECT_EQ(scoreStepFit({}, trace, PeakIndex(none), 0), std::nullopt);
}

}  // namespace
}  // namespace lumetra
