#include "differential_evolution.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

namespace lumetra {
namespace {

using Box = std::vector<std::pair<double, double>>;

// Every trial the search asked for and what it scored, in order.
struct Recorder {
  std::vector<std::vector<double>> trials;
  std::vector<double> scores;

  Objective wrap(double (*f)(std::span<const double>)) {
    return [this, f](std::span<const double> x) {
      trials.emplace_back(x.begin(), x.end());
      scores.push_back(f(x));
      return scores.back();
    };
  }
};

// Rosenbrock's valley, lifted by 1 so that the relative stop has a mean to compare with.
double rosenbrock(std::span<const double> x) {
  return 1 + 100 * std::pow(x[1] - x[0] * x[0], 2) + std::pow(1 - x[0], 2);
}

// Its unconstrained minimum (3, -1) lies outside the boxes used with it.
double outsideBowl(std::span<const double> x) {
  return 1 + std::pow(x[0] - 3, 2) + std::pow(x[1] + 1, 2);
}

TEST(DifferentialEvolution, FindsTheFloorOfRosenbrocksValleyAndReportsWhatItEvaluated) {
  const Box box = {{-2, 2}, {-1, 3}};
  Recorder calls;
  const EvolutionResult r = evolve(calls.wrap(rosenbrock), box,
                                   {.relativeTolerance = 1e-7, .maxEvaluations = 5000, .seed = 3});
  ASSERT_TRUE(r.converged);
  EXPECT_NEAR(r.best[0], 1, 1e-3);
  EXPECT_NEAR(r.best[1], 1, 1e-3);
  EXPECT_NEAR(r.score, 1, 1e-7);
  // The score is the objective at the reported point and the lowest one seen.
  EXPECT_EQ(r.score, rosenbrock(r.best));
  EXPECT_EQ(r.score, *std::min_element(calls.scores.begin(), calls.scores.end()));
  // 15 members per parameter: the start and every generation evaluate each member once.
  EXPECT_EQ(r.evaluations, calls.trials.size());
  EXPECT_EQ(r.evaluations, 30 * (r.generations + 1));

  // A looser tolerance stops sooner and further from the floor.
  const EvolutionResult loose =
      evolve(rosenbrock, box, {.relativeTolerance = 1e-2, .maxEvaluations = 5000, .seed = 3});
  EXPECT_TRUE(loose.converged);
  EXPECT_LT(loose.evaluations, r.evaluations);
  EXPECT_GT(loose.score, r.score);
}

TEST(DifferentialEvolution, EveryTrialStaysInItsBoxAndAMinimumOnTheEdgeIsFound) {
  // The pull towards (3, -1) sends mutants out of the box over and over.
  const Box box = {{0, 2}, {0.5, 4}};
  Recorder calls;
  const EvolutionResult r = evolve(calls.wrap(outsideBowl), box,
                                   {.relativeTolerance = 1e-6, .maxEvaluations = 5000, .seed = 5});
  ASSERT_TRUE(r.converged);
  for (const auto& trial : calls.trials) {
    ASSERT_EQ(trial.size(), 2U);
    for (std::size_t p = 0; p < 2; ++p) {
      ASSERT_GE(trial[p], box[p].first);
      ASSERT_LE(trial[p], box[p].second);
    }
  }
  EXPECT_NEAR(r.best[0], 2, 1e-5);
  EXPECT_NEAR(r.best[1], 0.5, 1e-5);
}

TEST(DifferentialEvolution, ASeedFixesEveryTrialAndAnotherSeedTakesAnotherPath) {
  const Box box = {{-2, 2}, {-1, 3}};
  const EvolutionSettings settings{.maxEvaluations = 600, .seed = 42};
  Recorder first, second, other;
  const EvolutionResult a = evolve(first.wrap(rosenbrock), box, settings);
  const EvolutionResult b = evolve(second.wrap(rosenbrock), box, settings);
  EXPECT_EQ(first.trials, second.trials);
  EXPECT_EQ(a.best, b.best);
  EXPECT_EQ(a.score, b.score);
  EXPECT_EQ(a.generations, b.generations);

  EvolutionSettings reseeded = settings;
  reseeded.seed = 43;
  const EvolutionResult c = evolve(other.wrap(rosenbrock), box, reseeded);
  EXPECT_NE(first.trials.front(), other.trials.front());
  EXPECT_NE(a.best, c.best);
}

TEST(DifferentialEvolution, TheEvaluationLimitIsNeverExceededAndIsNotConvergence) {
  const Box box = {{-2, 2}, {-1, 3}};
  // Stopped within the start (30 members), the first generation, or just after it.
  const std::vector<std::pair<std::size_t, std::size_t>> limitsAndGenerations = {
      {1, 0}, {29, 0}, {31, 0}, {45, 0}, {60, 1}, {75, 1}};
  for (const auto& [limit, generations] : limitsAndGenerations) {
    SCOPED_TRACE(limit);
    Recorder calls;
    const EvolutionResult r =
        evolve(calls.wrap(rosenbrock), box, {.relativeTolerance = 1e-9, .maxEvaluations = limit});
    EXPECT_EQ(calls.trials.size(), limit);
    EXPECT_EQ(r.evaluations, limit);
    EXPECT_FALSE(r.converged);
    EXPECT_EQ(r.generations, generations);
    // The best of the members evaluated, never one still unscored.
    const auto best = std::min_element(calls.scores.begin(), calls.scores.end());
    EXPECT_EQ(r.score, *best);
    EXPECT_EQ(r.best, calls.trials[static_cast<std::size_t>(best - calls.scores.begin())]);
  }
}

TEST(DifferentialEvolution, RefusesAnEmptySearchAndPassesOnTheObjectivesError) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_THROW(evolve(rosenbrock, Box{}, {}), std::invalid_argument);
  EXPECT_THROW(evolve(rosenbrock, Box{{0, 1}, {2, 1}}, {}), std::invalid_argument);
  EXPECT_THROW(evolve(rosenbrock, Box{{0, 1}, {0, inf}}, {}), std::invalid_argument);
  EXPECT_THROW(evolve(rosenbrock, Box{{std::nan(""), 1}, {0, 1}}, {}), std::invalid_argument);
  EXPECT_THROW(evolve(rosenbrock, Box{{0, 1}, {0, 1}}, {.maxEvaluations = 0}),
               std::invalid_argument);

  std::size_t calls = 0;
  auto failing = [&](std::span<const double>) -> double {
    if (++calls == 40) throw std::runtime_error("objective failed");
    return static_cast<double>(calls);
  };
  EXPECT_THROW(evolve(failing, Box{{0, 1}, {0, 1}}, {}), std::runtime_error);
  EXPECT_EQ(calls, 40U);
}

}  // namespace
}  // namespace lumetra
