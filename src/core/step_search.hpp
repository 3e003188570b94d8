// The search of the step fit's four parameters (halfWinLen, rratio, thrate, filterWidth) by
// differential evolution on the core fit itself. The parameters and their scores are those of
// the interactive search: each drawn through lmfit's transform of a bounded parameter (the search
// moves an angle x in [-pi/2, pi/2], the value is min + (sin x + 1) (max - min) / 2), the two
// window sizes rounded half to even, a window longer than the trace or a fit with fewer than
// `stateNum` partitions scored as rejected. What depends on the half window alone is computed
// once per half window and trace.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "differential_evolution.hpp"
#include "nonstationarity.hpp"
#include "search_space.hpp"

namespace lumetra {

struct StepSearchSettings {
  std::array<double, 4> min{};  // bounds, in the order of kSearchParameters
  std::array<double, 4> max{};
  bool allFrames = false;  // score by the BIC over every frame ("bic"), else the fit's own
  std::size_t stateNum = 1;
  EvolutionSettings evolution{};
};

struct StepSearchResult {
  std::array<double, 4> values{};  // the best setting as drawn (the windows not yet rounded)
  double score = 0;                // kRejectedFit when every setting was rejected
  std::size_t evaluations = 0;
  std::size_t generations = 0;
  bool converged = false;
  std::size_t halfWindows = 0;  // distinct half windows whose streams were computed
};

// Searches the fit of (frames, intensity) with NaN frames skipped; `stream` has the intensity
// attached. Throws StepFitUnsupported when a setting meets what the core fit does not model
// (the caller then searches through the step-by-step fit), std::invalid_argument for bounds
// with min >= max.
StepSearchResult searchStepFit(std::span<const double> frames, std::span<const double> intensity,
                               const NonStationary& stream, const StepSearchSettings& settings);

}  // namespace lumetra
