// Change points placed inside the transition stretches of a step fit.
//
// The fit's partitions give the first change points: one in each gap between two partitions, at
// its least-squares point (see coveringSegments).  Then, best first, one or two more change
// points go inside a stretch (a gap, or the frames of any candidate transition) wherever they
// lower the Bayesian information criterion of the whole trace (all_frames.hpp; two parameters per
// new segment): a second step in a gap, an excursion that leaves a level and returns, or a step
// that the fit's tests turned down.  Every change point sits at its least-squares position in its
// segment.  The segments are then grouped into levels: those whose means lie within the noise of
// each other (sigma, or three standard errors for short segments, allowing for two edge frames
// blurred by a transition) share one level, the mean of all their frames.
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

// Refines the partitions of a fit (after neighbour merging) with its transition stretches (in any
// order; they may overlap).  Partitions without a non-NaN frame (none at all, too) leave the
// whole trace as one starting segment; a trace of NaN only gives NaN levels and no change point.
// Throws std::invalid_argument for partitions out of order or outside the trace, or for a
// stretch outside the trace.
RefinedPath refineTransitions(std::span<const double> intensity,
                              std::span<const Partition> partitions,
                              std::span<const Stretch> stretches);

}  // namespace lumetra
