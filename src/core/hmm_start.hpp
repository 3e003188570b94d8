// Starting points of the shared hidden Markov model (hmm.hpp): levels grouped into K states by
// a one-dimensional k-means, and a model counted from a state per frame.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "hmm.hpp"

namespace lumetra {

// K centres of the weighted values by Lloyd's k-means, started from the weighted quantiles at
// (i + 1/2) / K; ascending. NaN values and weights <= 0 are skipped. A centre whose group
// empties keeps its place. Throws std::invalid_argument for K = 0, sizes that differ, or no
// value with a positive weight.
std::vector<double> kMeansLevels(std::span<const double> values, std::span<const double> weights,
                                 std::size_t states);

// The state of each frame: the nearest of the centres (the first for NaN frames).
std::vector<std::size_t> nearestStates(std::span<const double> trace,
                                       std::span<const double> centres);

// A model counted from a state per frame (paths[i] for traces[i], states below centres.size()):
// means and spreads of the frames of each state, the start from the first frames, the
// transitions from the state changes between consecutive frames. Every count of the start and
// of the transitions gets one pseudo-count, so no probability starts at zero (Baum-Welch could
// never leave it). A state without frames takes its centre as mean and the pooled spread.
// Throws std::invalid_argument for sizes that differ or a state out of range.
HmmModel modelFromPaths(TraceSpans traces, const std::vector<std::vector<std::size_t>>& paths,
                        std::span<const double> centres, bool sharedSpread);

// The same model with its states numbered by ascending mean (ties keep their order).
HmmModel orderedByMean(const HmmModel& model);

}  // namespace lumetra
