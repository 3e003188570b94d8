#include "step_search.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "all_frames.hpp"
#include "criterion.hpp"
#include "differential_evolution.hpp"
#include "simulate.hpp"
#include "step_fit.hpp"

namespace lumetra {
namespace {

TEST(DifferentialEvolution, FindsTheMinimumOfABowlWithinItsEvaluationLimit) {
  const std::vector<std::pair<double, double>> box = {{-5, 5}, {-5, 5}, {0, 10}};
  std::size_t calls = 0;
  auto bowl = [&](std::span<const double> x) {
    ++calls;
    return std::pow(x[0] - 1, 2) + std::pow(x[1] + 2, 2) + std::pow(x[2] - 7, 2) + 3;
  };
  const EvolutionResult r = evolve(bowl, box, {.maxEvaluations = 5000, .seed = 7});
  EXPECT_TRUE(r.converged);
  EXPECT_EQ(r.evaluations, calls);
  EXPECT_NEAR(r.best[0], 1, 0.2);
  EXPECT_NEAR(r.best[1], -2, 0.2);
  EXPECT_NEAR(r.best[2], 7, 0.2);
  EXPECT_NEAR(r.score, 3, 0.05);

  calls = 0;
  const EvolutionResult capped = evolve(bowl, box, {.maxEvaluations = 100, .seed = 7});
  EXPECT_EQ(calls, 100U);
  EXPECT_FALSE(capped.converged);
  // The best of what was evaluated, never an unevaluated member.
  EXPECT_LT(capped.score, 3 + 3 * 100.0);
  EXPECT_GE(capped.score, 3);

  const EvolutionResult again = evolve(bowl, box, {.maxEvaluations = 5000, .seed = 7});
  EXPECT_EQ(again.best, r.best);
  EXPECT_THROW(evolve(bowl, std::vector<std::pair<double, double>>{{1, 1}}, {}),
               std::invalid_argument);
}

TEST(StepSearch, CachedStreamsGiveTheFitBitForBitAndTheSearchBeatsTheStartSetting) {
  const SimulatedTrace trace = simulateTrace({.levels = {300, 800, 1300},
                                              .meanDwell = {150, 150, 150},
                                              .noiseSigma = 60,
                                              .frames = 2000,
                                              .frameStep = 0.1,
                                              .seed = 3});
  NonStationary stream;
  stream.setData(trace.intensity);
  for (const StepFitSettings s : {StepFitSettings{9, 0.18, 0.2, 9}, StepFitSettings{5, -1, 0, 1},
                                  StepFitSettings{14, 1.5, 0.9, 0}}) {
    const StepFit whole = fitSteps(trace.time, trace.intensity, NaNRule::skip, stream, s);
    const WindowStreams w =
        windowStreams(trace.time, trace.intensity, NaNRule::skip, stream, s.halfWinLen);
    StepFit parts;
    fitFromStreams(trace.time, trace.intensity, NaNRule::skip, w, s, parts);
    EXPECT_EQ(w.dataVar, whole.dataVar);
    EXPECT_EQ(w.dataNS, whole.dataNS);
    EXPECT_EQ(parts.partitions.size(), whole.partitions.size());
    EXPECT_EQ(parts.moments, whole.moments);
  }

  StepSearchSettings settings;
  for (std::size_t p = 0; p < kSearchParameters.size(); ++p) {
    settings.min[p] = kSearchParameters[p].min;
    settings.max[p] = kSearchParameters[p].max;
  }
  settings.allFrames = true;
  settings.evolution.seed = 11;
  const StepSearchResult found = searchStepFit(trace.time, trace.intensity, stream, settings);
  EXPECT_LE(found.evaluations, 2000U);
  EXPECT_LE(found.halfWindows, 17U);  // integer windows 5 ... 21
  for (std::size_t p = 0; p < 4; ++p) {
    EXPECT_GE(found.values[p], settings.min[p]);
    EXPECT_LE(found.values[p], settings.max[p]);
  }
  const StepFit start =
      fitSteps(trace.time, trace.intensity, NaNRule::skip, stream, {9, 0.18, 0.2, 9});
  EXPECT_LT(found.score, allFramesBic(trace.intensity, start.partitions));
  // The score is that of the fit at the rounded best setting.
  const StepFitSettings best{static_cast<std::ptrdiff_t>(std::nearbyint(found.values[0])),
                             found.values[1], found.values[2], std::nearbyint(found.values[3])};
  const StepFit refit = fitSteps(trace.time, trace.intensity, NaNRule::skip, stream, best);
  EXPECT_DOUBLE_EQ(found.score, allFramesBic(trace.intensity, refit.partitions));

  settings.max[0] = settings.min[0];
  EXPECT_THROW(searchStepFit(trace.time, trace.intensity, stream, settings), std::invalid_argument);
}

}  // namespace
}  // namespace lumetra
