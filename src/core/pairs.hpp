// Candidate transitions and the segments between them.
//
// A pair brackets a run of a windowed series above its threshold, in window positions: start is
// the last index at or below the threshold before the run, end the first index below it after
// the run.  Pairs closer than two indices are merged; a merged pair keeps its own sequence
// number, so numbers may have gaps.
//
// A partition is a stretch of frames [start, end) between two pairs; pair index k maps to frame
// k + halfWinLen, the centre of the window that starts at k.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace lumetra {

struct Pair {
  std::ptrdiff_t start;
  std::ptrdiff_t end;
  std::ptrdiff_t seq;  // order of detection, before merging

  friend bool operator==(const Pair&, const Pair&) = default;
};

struct Partition {
  std::ptrdiff_t start;  // first frame
  std::ptrdiff_t end;    // one past the last frame
  std::ptrdiff_t seq;    // 0, 1, 2, ... in list order

  friend bool operator==(const Partition&, const Partition&) = default;
};

// The runs of `data` above `threshold`.  A falling crossing needs data[i] >= threshold >
// data[i + 1], a rising one data[i] <= threshold < data[i + 1]; NaN takes part in neither.
// A series above the threshold from its start opens at 0; a run still going at the last index
// ends there.
std::vector<Pair> genPairs(std::span<const double> data, double threshold);

// The width a pair needs to pass chainFilters: `limit`, or when that is 0 a width derived from
// the half window, (halfWin - 1) / 2 - 1 when that is positive, else (halfWin - 1) / 2.
double pairWidthLimit(double halfWin, double limit);

// Positions of the widths (end - start of each pair) that reach pairWidthLimit(halfWin, limit).
std::vector<std::size_t> widePairPositions(std::span<const double> widths, double halfWin,
                                           double limit);

// The pairs at least pairWidthLimit(halfWin, limit) wide, in order and unchanged.
std::vector<Pair> chainFilters(std::span<const Pair> pairs, double halfWin, double limit = 0);

// The stretches between consecutive pairs, shifted to frames: [0, first start), then from each
// pair's end to the next pair's start, and after the last pair up to dataLen.  When the last
// pair ends at or after the last window position (dataLen - windowsLen) its stretch joins the
// last partition instead, which then ends at dataLen.  No pairs give no partitions.  Throws
// std::overflow_error when a shifted frame does not fit in std::ptrdiff_t.
std::vector<Partition> genPartitions(std::span<const Pair> pairs, std::ptrdiff_t halfWinLen,
                                     std::ptrdiff_t dataLen);

}  // namespace lumetra
