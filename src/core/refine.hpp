// Change points placed inside the transition stretches of a step fit.
//
// Every stretch is decided by the Bayesian information criterion of the whole trace (see
// all_frames.hpp): a stretch between two levels holds one change point or an excursion of two
// (the signal leaves for a level of its own and then steps on), a stretch inside a level (one
// that neighbour merging joined) holds nothing or an excursion that leaves and returns; every
// change point sits at its least-squares position.  The segments that result are then grouped
// into levels: those whose means lie within the noise of each other share one level, the mean of
// all their frames.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "pairs.hpp"

namespace lumetra {

// Frames [start, end) in which a transition may lie.
struct Stretch {
  std::ptrdiff_t start;
  std::ptrdiff_t end;
};

struct RefinedPath {
  std::vector<std::ptrdiff_t> changePoints;  // first frame of each new level, ascending
  std::vector<double> idealPath;             // the fitted level of every frame
  std::vector<double> levels;                // the distinct levels, ascending
};

// Refines the partitions of a fit (after neighbour merging) with the transition stretches of
// its accepted candidates.  Stretches that overlap the gap between two partitions are that gap's
// stretch; the others must lie inside a partition.  Throws std::invalid_argument for no
// partitions with a non-NaN frame, or for partitions or stretches out of order or outside the
// trace.
RefinedPath refineTransitions(std::span<const double> intensity,
                              std::span<const Partition> partitions,
                              std::span<const Stretch> stretches);

}  // namespace lumetra
