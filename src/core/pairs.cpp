#include "pairs.hpp"

#include <stdexcept>
#include <string>

namespace lumetra {
namespace {

// Wide enough for every sum of three indices, so comparisons of shifted positions are exact.
__extension__ using WideIndex = __int128;

// The frame of window position `position`: position + halfWinLen.
std::ptrdiff_t frameOf(std::ptrdiff_t position, std::ptrdiff_t halfWinLen) {
  std::ptrdiff_t frame = 0;
  if (__builtin_add_overflow(position, halfWinLen, &frame)) {
    throw std::overflow_error("frame " + std::to_string(position) + " + " +
                              std::to_string(halfWinLen) + " is out of the index range");
  }
  return frame;
}

}  // namespace

std::vector<Pair> genPairs(std::span<const double> data, double threshold) {
  const auto n = static_cast<std::ptrdiff_t>(data.size());
  std::vector<Pair> pairs;
  // The pair under construction: `open` once its start is known.
  bool open = false;
  std::ptrdiff_t start = 0;
  std::ptrdiff_t seq = 0;
  for (std::ptrdiff_t i = 0; i < n; ++i) {
    if (i + 1 < n) {
      const double here = data[static_cast<std::size_t>(i)];
      const double next = data[static_cast<std::size_t>(i + 1)];
      if (here >= threshold && next < threshold) {
        // A falling crossing closes the open pair; before any pair exists it closes one that
        // has been open since index 0.  Otherwise it changes nothing.
        if (open || pairs.empty()) {
          pairs.push_back({open ? start : 0, i + 1, seq++});
          open = false;
        }
      } else if (here <= threshold && next > threshold && !open) {
        open = true;
        start = i;
      }
    } else if (open) {
      pairs.push_back({start, i, seq++});
      open = false;
    }
  }

  // Runs separated by fewer than two indices belong to one transition.
  std::vector<Pair> merged;
  merged.reserve(pairs.size());
  for (const Pair& pair : pairs) {
    if (!merged.empty() && pair.start - merged.back().end < 2) {
      merged.back().end = pair.end;
    } else {
      merged.push_back(pair);
    }
  }
  return merged;
}

double pairWidthLimit(double halfWin, double limit) {
  if (limit != 0) return limit;
  const double derived = (halfWin - 1) / 2 - 1;
  return derived > 0 ? derived : (halfWin - 1) / 2;
}

std::vector<std::size_t> widePairPositions(std::span<const double> widths, double halfWin,
                                           double limit) {
  const double minimum = pairWidthLimit(halfWin, limit);
  std::vector<std::size_t> kept;
  for (std::size_t i = 0; i < widths.size(); ++i) {
    if (widths[i] >= minimum) kept.push_back(i);
  }
  return kept;
}

std::vector<Pair> chainFilters(std::span<const Pair> pairs, double halfWin, double limit) {
  std::vector<double> widths;
  widths.reserve(pairs.size());
  for (const Pair& pair : pairs) widths.push_back(static_cast<double>(pair.end - pair.start));
  std::vector<Pair> kept;
  for (std::size_t i : widePairPositions(widths, halfWin, limit)) kept.push_back(pairs[i]);
  return kept;
}

std::vector<Partition> genPartitions(std::span<const Pair> pairs, std::ptrdiff_t halfWinLen,
                                     std::ptrdiff_t dataLen) {
  std::vector<Partition> partitions;
  if (pairs.empty()) return partitions;
  const WideIndex windowsLen = WideIndex{halfWinLen} * 2 + 1;
  std::ptrdiff_t seq = 0;
  partitions.push_back({0, frameOf(pairs.front().start, halfWinLen), seq++});
  for (std::size_t i = 0; i + 1 < pairs.size(); ++i) {
    partitions.push_back(
        {frameOf(pairs[i].end, halfWinLen), frameOf(pairs[i + 1].start, halfWinLen), seq++});
  }
  const Pair& last = pairs.back();
  if (last.end < dataLen - windowsLen) {
    partitions.push_back({frameOf(last.end, halfWinLen), dataLen, seq});
  } else {
    partitions.back().end = dataLen;
  }
  return partitions;
}

}  // namespace lumetra
