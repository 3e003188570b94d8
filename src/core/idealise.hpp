// From fitted partitions to an idealised trace: the level and spread of each segment, and the
// segment each frame belongs to.
//
// Partitions leave the frames of each transition stretch between them uncovered. The idealised
// trace splits such a stretch at its middle: its first half keeps the level before, the rest
// takes the level after, so the step sits where the change is most likely and dwell times are
// not shifted towards either side. Frames before the first partition belong to it, frames after
// the last one to the last.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "pairs.hpp"

namespace lumetra {

struct SegmentSummary {
  std::ptrdiff_t start;  // first frame
  std::ptrdiff_t end;    // one past the last frame
  double mean;           // mean intensity over the frames, NaN frames left out
  double spread;         // population standard deviation over the same frames
};

// Checks that the partitions are non-empty, ascending, disjoint and inside [0, frames); throws
// std::invalid_argument naming the first partition that is not.
void checkPartitions(std::span<const Partition> partitions, std::size_t frames);

// Level and spread of every partition of `intensity`. A partition of NaN frames only has NaN
// mean and spread.
std::vector<SegmentSummary> summariseSegments(std::span<const double> intensity,
                                              std::span<const Partition> partitions);

// For every one of `frames` frames, the index of the partition it belongs to in the idealised
// trace (see above). Throws std::invalid_argument for no partitions.
std::vector<std::size_t> frameSegments(std::size_t frames, std::span<const Partition> partitions);

}  // namespace lumetra
