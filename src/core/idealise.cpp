#include "idealise.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace lumetra {

void checkPartitions(std::span<const Partition> partitions, std::size_t frames) {
  std::ptrdiff_t previousEnd = 0;
  for (std::size_t i = 0; i < partitions.size(); ++i) {
    const Partition& p = partitions[i];
    const std::string where = "partition " + std::to_string(i) + " [" + std::to_string(p.start) +
                              ", " + std::to_string(p.end) + ")";
    if (p.start >= p.end) throw std::invalid_argument(where + " is empty");
    if (p.start < previousEnd) {
      throw std::invalid_argument(where + " starts before the previous one ends");
    }
    if (p.end > static_cast<std::ptrdiff_t>(frames)) {
      throw std::invalid_argument(where + " ends after the trace (" + std::to_string(frames) +
                                  " frames)");
    }
    previousEnd = p.end;
  }
}

std::vector<SegmentSummary> summariseSegments(std::span<const double> intensity,
                                              std::span<const Partition> partitions) {
  checkPartitions(partitions, intensity.size());
  std::vector<SegmentSummary> out;
  out.reserve(partitions.size());
  for (const Partition& p : partitions) {
    double sum = 0;
    std::size_t count = 0;
    for (std::ptrdiff_t f = p.start; f < p.end; ++f) {
      const double v = intensity[static_cast<std::size_t>(f)];
      if (std::isnan(v)) continue;
      sum += v;
      ++count;
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double mean = count == 0 ? nan : sum / static_cast<double>(count);
    double squares = 0;
    for (std::ptrdiff_t f = p.start; f < p.end; ++f) {
      const double v = intensity[static_cast<std::size_t>(f)];
      if (!std::isnan(v)) squares += (v - mean) * (v - mean);
    }
    const double spread = count == 0 ? nan : std::sqrt(squares / static_cast<double>(count));
    out.push_back({p.start, p.end, mean, spread});
  }
  return out;
}

std::vector<std::size_t> frameSegments(std::size_t frames, std::span<const Partition> partitions) {
  if (partitions.empty()) throw std::invalid_argument("frameSegments: no partitions");
  checkPartitions(partitions, frames);
  std::vector<std::size_t> out(frames);
  std::size_t segment = 0;
  for (std::size_t f = 0; f < frames; ++f) {
    const auto frame = static_cast<std::ptrdiff_t>(f);
    // Move on once the frame is past the middle of the stretch before the next partition.
    while (segment + 1 < partitions.size()) {
      const std::ptrdiff_t gapStart = partitions[segment].end;
      const std::ptrdiff_t split = gapStart + (partitions[segment + 1].start - gapStart + 1) / 2;
      if (frame < split) break;
      ++segment;
    }
    out[f] = segment;
  }
  return out;
}

}  // namespace lumetra
