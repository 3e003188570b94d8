// Level changes of idealised traces: one ideal value per frame, constant between
// transitions. A frame is a transition when its value differs from the level held before it;
// values are compared for exact equality, and NaN is unequal to everything, itself included.
// Optionally each trace's tail is left out: the frames from the first one at or below a
// threshold on.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace lumetra {

// The threshold value that turns tail trimming off.
inline constexpr double kNoTailTrimming = -1.0;

// The lowest value of a trace as a left-to-right scan finds it: the first value, replaced by
// each later one strictly below the current minimum. A NaN in first place is therefore never
// replaced, and NaN values further on are passed over. Throws std::invalid_argument for an
// empty trace.
double scanMinimum(std::span<const double> levels);

// The lowest level of a set of traces, starting from 1: the smallest scanMinimum below 1, or 1
// when no trace goes below 1. Throws std::invalid_argument when a trace is empty.
double lowestLevel(std::span<const std::vector<double>> traces);

// The tail threshold for a requested one: a request of 1 or more stands for |lowest|; any
// other value (kNoTailTrimming included) is used as it is.
double tailThreshold(double requested, double lowest);

struct TraceTransitions {
  // The first frame at or below the threshold, or -1 when the trace has no tail (no such
  // frame, or trimming is off). Frames from here on are not scanned.
  std::ptrdiff_t tailStart = -1;
  // The frames at which the level changes, ascending. The level entered is the value at the
  // frame; the level left is the value at the previous transition (or at frame 0).
  std::vector<std::size_t> frames;
};

// Scans one trace. Frame 0 sets the first level; it counts as a transition only when it is
// NaN, since NaN is unequal even to itself.
TraceTransitions scanTrace(std::span<const double> levels, double threshold);

}  // namespace lumetra
