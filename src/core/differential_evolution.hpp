// Differential evolution as scipy.optimize.differential_evolution runs it with the settings lmfit
// passes: strategy best1bin, a population of 15 per parameter started by Latin hypercube
// sampling, a mutation factor drawn from [0.5, 1) every generation (dither), recombination 0.7,
// every trial compared with its parent at once ("immediate" updating), and the stop when the
// spread of the population's scores falls to 1% of their mean. The search works on the unit cube
// of the parameters; the objective receives each trial scaled into its bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

namespace lumetra {

struct EvolutionSettings {
  std::size_t populationPerParameter = 15;
  double relativeTolerance = 0.01;  // stop when std(scores) <= tolerance * |mean(scores)|
  double mutationLow = 0.5;         // the mutation factor of a generation: uniform in [low, high)
  double mutationHigh = 1.0;
  double recombination = 0.7;  // chance of each parameter coming from the mutant
  std::size_t maxEvaluations = 2000;
  std::uint64_t seed = 0;
};

struct EvolutionResult {
  std::vector<double> best;  // the best trial found, in the objective's units
  double score = 0;
  std::size_t evaluations = 0;
  std::size_t generations = 0;
  bool converged = false;  // stopped by the tolerance, not by the evaluation limit
};

using Objective = std::function<double(std::span<const double>)>;

// Minimises `objective` over the box `bounds` (min, max per parameter; min < max).  Throws
// std::invalid_argument for no parameter, an empty box or no evaluation allowed; an exception of
// the objective ends the search and propagates.
EvolutionResult evolve(const Objective& objective,
                       std::span<const std::pair<double, double>> bounds,
                       const EvolutionSettings& settings);

}  // namespace lumetra
