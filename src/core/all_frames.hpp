// A step fit scored over every frame of the trace: neighbouring levels that cannot be told apart
// are joined (on a copy), each transition stretch between two partitions is split at its
// least-squares point so that every frame belongs to a segment, and the segments are scored by
// the Bayesian information criterion N ln(RSS / N) + (2K - 1) ln N (K segments: K levels and
// K - 1 change points).  NaN frames take part in nothing.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "pairs.hpp"

namespace lumetra {

// Constant-time sums of squared deviations over any frame range, from running sums of the
// intensity (centred on its mean, so that large offsets cost no precision).
class RangeCosts {
 public:
  explicit RangeCosts(std::span<const double> intensity);

  [[nodiscard]] std::size_t frames() const noexcept { return count_.size() - 1; }
  // Non-NaN frames in [from, to).
  [[nodiscard]] std::size_t count(std::ptrdiff_t from, std::ptrdiff_t to) const;
  // Their mean; NaN when there are none.
  [[nodiscard]] double mean(std::ptrdiff_t from, std::ptrdiff_t to) const;
  // Sum of squared deviations of [from, to) about its own mean (0 without frames).
  [[nodiscard]] double rss(std::ptrdiff_t from, std::ptrdiff_t to) const;
  // Sum of squared deviations of [from, to) about a given level.
  [[nodiscard]] double rssAbout(std::ptrdiff_t from, std::ptrdiff_t to, double level) const;

 private:
  void check(std::ptrdiff_t from, std::ptrdiff_t to) const;

  double offset_ = 0;
  std::vector<std::size_t> count_;
  std::vector<double> sum_;
  std::vector<double> squares_;
};

// Throws std::invalid_argument unless the partitions are in order, disjoint and inside a trace of
// `frames` frames (empty ones allowed).
void checkPartitionOrder(std::span<const Partition> partitions, std::size_t frames);

// The partitions after one pass of neighbour merging: a partition whose mean lies within the
// larger standard deviation of its predecessor's joins it (chains join whole), taking in the
// stretch between them.  Throws std::invalid_argument for partitions out of order or outside the
// trace.
std::vector<Partition> mergedPartitions(const RangeCosts& costs,
                                        std::span<const Partition> partitions);

// Segments that cover every frame: the stretch between two partitions goes to the one before it
// up to the least-squares change point (each side about its partition's mean; the earliest on a
// tie), the rest to the one after; frames before the first partition and after the last belong to
// them.  Partitions without a non-NaN frame are dropped.  Empty for no partitions.
std::vector<Partition> coveringSegments(const RangeCosts& costs,
                                        std::span<const Partition> partitions);

// N ln(RSS / N) + (2K - 1) ln N for K segments over N non-NaN frames; RSS 0 gives -inf.  Throws
// std::domain_error when there is no segment or no frame.
double segmentsBic(const RangeCosts& costs, std::span<const Partition> segments);

// The whole score of a fit: merge, cover, score.
double allFramesBic(std::span<const double> intensity, std::span<const Partition> partitions);

}  // namespace lumetra
