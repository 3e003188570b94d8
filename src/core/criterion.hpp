// The score of a step fit: an information criterion that weighs the residual sum of squares of
// the intensity about each partition's mean against a penalty of three parameters per partition
// and two per reference pair.  Frames inside a reference interval are left out of the residuals.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "pairs.hpp"

namespace lumetra {

// One interval [lo, hi] of a peak list, both bounds inclusive, as given: bounds out of order or
// NaN make an interval that holds nothing.
struct PeakBounds {
  double lo;
  double hi;
};

// Whether x lies in one of the intervals, checked one after the other: O(P).
bool inPeakList(double x, std::span<const PeakBounds> peaks);

// The frame indices covered by a peak list, sorted and merged once, so that a look-up costs
// O(log P) and agrees with inPeakList for every integer frame.
class PeakIndex {
 public:
  explicit PeakIndex(std::span<const PeakBounds> peaks);
  explicit PeakIndex(std::span<const Pair> pairs);

  [[nodiscard]] bool contains(std::ptrdiff_t frame) const noexcept;
  // Disjoint, non-adjacent closed intervals in ascending order.
  [[nodiscard]] const std::vector<std::pair<std::ptrdiff_t, std::ptrdiff_t>>& intervals()
      const noexcept;

 private:
  void add(double lo, double hi);
  void merge();

  std::vector<std::pair<std::ptrdiff_t, std::ptrdiff_t>> intervals_;
};

struct Residuals {
  double rss = 0.0;      // summed over partitions, in partition order
  std::size_t used = 0;  // frames that took part
};

// For each partition, the frames start .. end - 1 outside the intervals of `excluded`, and the sum
// of squared deviations of their intensities from their mean, numpy's arithmetic: NaN propagates.
// A partition without such frames adds nothing.  Throws std::out_of_range for a frame that takes
// part but lies outside the intensity.
Residuals partitionResiduals(std::span<const double> intensity,
                             std::span<const Partition> partitions, const PeakIndex& excluded);

// K * log2(traceLength) + N * ln(RSS / N) with K = 3 * partitionCount + 2 * peakCount and N the
// frames used.  Throws std::domain_error when no frame was used.  RSS = 0 gives -inf.
double informationCriterion(const Residuals& residuals, std::size_t partitionCount,
                            std::size_t peakCount, std::size_t traceLength);

// The criterion of a step fit against a reference pair list; the pairs' bounds are compared with
// frame indices as they are, without any shift.
double xic(std::span<const Partition> partitions, std::span<const double> intensity,
           std::span<const Pair> peaks);

}  // namespace lumetra
