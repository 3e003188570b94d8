// The four tuning parameters of the step fit and their search by differential evolution: the
// names, the start values and default bounds of the search, and the scores it can minimise.
#pragma once

#include <array>
#include <string_view>

#include "differential_evolution.hpp"

namespace lumetra {

struct SearchParameter {
  std::string_view name;     // the fit's argument, and the search's parameter
  std::string_view keyword;  // the search's argument holding its (min, max, step)
  double start;              // where the search starts
  double min, max, step;     // the default bounds and step of the search
};

// In the order fitTrajectory takes them. Integral values are integers to the search (the window
// sizes are rounded before each fit).
inline constexpr std::array<SearchParameter, 4> kSearchParameters = {{
    {"halfWinLen", "sHalfWin", 9, 5, 21, 1},
    {"rratio", "sRR", 0.18, -1, 3.1, 0.01},
    {"thrate", "sThR", 0.2, 0, 1.1, 0.1},
    {"filterWidth", "sFilterW", 9, 1, 21, 1},
}};

// The scores a search can minimise: "xic" (the fit's own score, frames of candidate intervals
// left out) and "bic" (the BIC of the merged fit over every frame). The first is the default.
inline constexpr std::array<std::string_view, 2> kCriteria = {"xic", "bic"};

// The most evaluations of the fit one search makes: the differential evolution's own limit.
inline constexpr int kSearchEvaluations = static_cast<int>(EvolutionSettings{}.maxEvaluations);

}  // namespace lumetra
