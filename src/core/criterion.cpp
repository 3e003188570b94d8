#include "criterion.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "reductions.hpp"

namespace lumetra {
namespace {

using Index = std::ptrdiff_t;
constexpr Index kMinIndex = std::numeric_limits<Index>::min();
constexpr Index kMaxIndex = std::numeric_limits<Index>::max();
// 2^63 as a double: the first value above every Index.
constexpr double kIndexLimit = 9223372036854775808.0;

}  // namespace

bool inPeakList(double x, std::span<const PeakBounds> peaks) {
  return std::any_of(peaks.begin(), peaks.end(),
                     [x](const PeakBounds& p) { return x >= p.lo && x <= p.hi; });
}

PeakIndex::PeakIndex(std::span<const PeakBounds> peaks) {
  for (const PeakBounds& p : peaks) add(p.lo, p.hi);
  merge();
}

PeakIndex::PeakIndex(std::span<const Pair> pairs) {
  for (const Pair& p : pairs) {
    if (p.start <= p.end) intervals_.emplace_back(p.start, p.end);
  }
  merge();
}

void PeakIndex::add(double lo, double hi) {
  // An integer frame f satisfies lo <= f <= hi exactly when ceil(lo) <= f <= floor(hi).
  const double first = std::ceil(lo);
  const double last = std::floor(hi);
  if (!(first <= last) || first >= kIndexLimit || last < -kIndexLimit) return;
  const Index from = first < -kIndexLimit ? kMinIndex : static_cast<Index>(first);
  const Index to = last >= kIndexLimit ? kMaxIndex : static_cast<Index>(last);
  intervals_.emplace_back(from, to);
}

void PeakIndex::merge() {
  std::sort(intervals_.begin(), intervals_.end());
  std::vector<std::pair<Index, Index>> merged;
  for (const auto& interval : intervals_) {
    if (!merged.empty()) {
      auto& back = merged.back();
      if (interval.first <= back.second ||
          (back.second < kMaxIndex && interval.first == back.second + 1)) {
        back.second = std::max(back.second, interval.second);
        continue;
      }
    }
    merged.push_back(interval);
  }
  intervals_ = std::move(merged);
}

bool PeakIndex::contains(Index frame) const noexcept {
  auto after = std::upper_bound(
      intervals_.begin(), intervals_.end(), frame,
      [](Index f, const std::pair<Index, Index>& interval) { return f < interval.first; });
  return after != intervals_.begin() && frame <= std::prev(after)->second;
}

const std::vector<std::pair<Index, Index>>& PeakIndex::intervals() const noexcept {
  return intervals_;
}

Residuals partitionResiduals(std::span<const double> intensity,
                             std::span<const Partition> partitions, const PeakIndex& excluded) {
  const auto length = static_cast<Index>(intensity.size());
  const auto& intervals = excluded.intervals();
  Residuals out;
  std::vector<double> values;
  std::vector<double> squares;
  auto take = [&](Index from, Index to) {
    if (from < 0 || to > length) {
      const Index bad = from < 0 ? from : length;
      throw std::out_of_range("frame " + std::to_string(bad) + " is outside the trace of " +
                              std::to_string(length) + " frames");
    }
    values.insert(values.end(), intensity.begin() + from, intensity.begin() + to);
  };
  for (const Partition& p : partitions) {
    values.clear();
    // The frames of a partition rise, so one walk over the sorted intervals finds the gaps.
    auto interval =
        std::upper_bound(intervals.begin(), intervals.end(), p.start,
                         [](Index f, const std::pair<Index, Index>& i) { return f < i.first; });
    if (interval != intervals.begin()) --interval;
    Index frame = p.start;
    while (frame < p.end) {
      while (interval != intervals.end() && interval->second < frame) ++interval;
      if (interval != intervals.end() && interval->first <= frame) {
        if (interval->second >= p.end - 1) break;
        frame = interval->second + 1;
        continue;
      }
      const Index stop = interval == intervals.end() ? p.end : std::min(p.end, interval->first);
      take(frame, stop);
      frame = stop;
    }
    if (values.empty()) continue;
    const double m = mean(values);
    squares.resize(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      const double d = values[i] - m;
      squares[i] = d * d;
    }
    out.rss = out.rss + pairwiseSum(squares);
    out.used += values.size();
  }
  return out;
}

double informationCriterion(const Residuals& residuals, std::size_t partitionCount,
                            std::size_t peakCount, std::size_t traceLength) {
  if (residuals.used == 0) {
    throw std::domain_error("no frame is left to score: every partition is empty or inside a peak");
  }
  const auto k = static_cast<double>(3 * partitionCount + 2 * peakCount);
  const auto n = static_cast<double>(residuals.used);
  return k * std::log2(static_cast<double>(traceLength)) + n * std::log(residuals.rss / n);
}

double xic(std::span<const Partition> partitions, std::span<const double> intensity,
           std::span<const Pair> peaks) {
  const PeakIndex index(peaks);
  const Residuals residuals = partitionResiduals(intensity, partitions, index);
  return informationCriterion(residuals, partitions.size(), peaks.size(), intensity.size());
}

}  // namespace lumetra
