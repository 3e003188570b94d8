#include "all_frames.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "merge.hpp"

namespace lumetra {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

void checkPartitionOrder(std::span<const Partition> partitions, std::size_t frames) {
  std::ptrdiff_t previousEnd = 0;
  for (std::size_t i = 0; i < partitions.size(); ++i) {
    const Partition& p = partitions[i];
    if (p.start < previousEnd || p.end < p.start || p.end > static_cast<std::ptrdiff_t>(frames)) {
      throw std::invalid_argument("partition " + std::to_string(i) + " [" +
                                  std::to_string(p.start) + ", " + std::to_string(p.end) +
                                  ") is out of order or outside the trace of " +
                                  std::to_string(frames) + " frames");
    }
    previousEnd = p.end;
  }
}

RangeCosts::RangeCosts(std::span<const double> intensity)
    : count_(intensity.size() + 1, 0),
      sum_(intensity.size() + 1, 0.0),
      squares_(intensity.size() + 1, 0.0) {
  std::size_t n = 0;
  double total = 0;
  for (double v : intensity) {
    if (std::isnan(v)) continue;
    total += v;
    ++n;
  }
  offset_ = n == 0 ? 0.0 : total / static_cast<double>(n);
  for (std::size_t i = 0; i < intensity.size(); ++i) {
    const double v = intensity[i];
    const bool used = !std::isnan(v);
    const double d = used ? v - offset_ : 0.0;
    count_[i + 1] = count_[i] + (used ? 1 : 0);
    sum_[i + 1] = sum_[i] + d;
    squares_[i + 1] = squares_[i] + d * d;
  }
}

void RangeCosts::check(std::ptrdiff_t from, std::ptrdiff_t to) const {
  if (from < 0 || to < from || to > static_cast<std::ptrdiff_t>(frames())) {
    throw std::out_of_range("frame range [" + std::to_string(from) + ", " + std::to_string(to) +
                            ") is not inside the trace of " + std::to_string(frames()) + " frames");
  }
}

std::size_t RangeCosts::count(std::ptrdiff_t from, std::ptrdiff_t to) const {
  check(from, to);
  return count_[static_cast<std::size_t>(to)] - count_[static_cast<std::size_t>(from)];
}

double RangeCosts::mean(std::ptrdiff_t from, std::ptrdiff_t to) const {
  const std::size_t n = count(from, to);
  if (n == 0) return kNaN;
  const double s = sum_[static_cast<std::size_t>(to)] - sum_[static_cast<std::size_t>(from)];
  return offset_ + s / static_cast<double>(n);
}

double RangeCosts::rss(std::ptrdiff_t from, std::ptrdiff_t to) const {
  const std::size_t n = count(from, to);
  if (n == 0) return 0.0;
  const auto a = static_cast<std::size_t>(from);
  const auto b = static_cast<std::size_t>(to);
  const double s = sum_[b] - sum_[a];
  // Rounding can leave a tiny negative value for a constant stretch.
  return std::max(0.0, squares_[b] - squares_[a] - s * s / static_cast<double>(n));
}

double RangeCosts::rssAbout(std::ptrdiff_t from, std::ptrdiff_t to, double level) const {
  const std::size_t n = count(from, to);
  if (n == 0) return 0.0;
  const auto a = static_cast<std::size_t>(from);
  const auto b = static_cast<std::size_t>(to);
  const double d = level - offset_;
  const double value =
      squares_[b] - squares_[a] - 2 * d * (sum_[b] - sum_[a]) + d * d * static_cast<double>(n);
  return std::max(0.0, value);
}

std::vector<Partition> mergedPartitions(const RangeCosts& costs,
                                        std::span<const Partition> partitions) {
  checkPartitionOrder(partitions, costs.frames());
  std::vector<double> means, stds;
  for (const Partition& p : partitions) {
    const std::size_t n = costs.count(p.start, p.end);
    means.push_back(costs.mean(p.start, p.end));
    stds.push_back(n == 0 ? kNaN : std::sqrt(costs.rss(p.start, p.end) / static_cast<double>(n)));
  }
  const std::vector<bool> joins = mergeFlags(means, stds);
  std::vector<Partition> out;
  for (std::size_t k = 0; k < partitions.size(); ++k) {
    if (joins[k]) {
      out.back().end = partitions[k].end;
    } else {
      out.push_back(partitions[k]);
    }
  }
  return out;
}

std::vector<Partition> coveringSegments(const RangeCosts& costs,
                                        std::span<const Partition> partitions) {
  checkPartitionOrder(partitions, costs.frames());
  std::vector<Partition> kept;
  for (const Partition& p : partitions) {
    if (costs.count(p.start, p.end) > 0) kept.push_back(p);
  }
  std::vector<Partition> out;
  if (kept.empty()) return out;
  std::ptrdiff_t start = 0;
  for (std::size_t k = 0; k + 1 < kept.size(); ++k) {
    const Partition& before = kept[k];
    const Partition& after = kept[k + 1];
    const double levelBefore = costs.mean(before.start, before.end);
    const double levelAfter = costs.mean(after.start, after.end);
    std::ptrdiff_t best = before.end;
    double bestCost = std::numeric_limits<double>::infinity();
    for (std::ptrdiff_t t = before.end; t <= after.start; ++t) {
      const double cost =
          costs.rssAbout(before.end, t, levelBefore) + costs.rssAbout(t, after.start, levelAfter);
      if (cost < bestCost) {
        bestCost = cost;
        best = t;
      }
    }
    out.push_back({start, best, before.seq});
    start = best;
  }
  out.push_back({start, static_cast<std::ptrdiff_t>(costs.frames()), kept.back().seq});
  return out;
}

double segmentsBic(const RangeCosts& costs, std::span<const Partition> segments) {
  std::size_t n = 0;
  double rss = 0;
  for (const Partition& s : segments) {
    n += costs.count(s.start, s.end);
    rss += costs.rss(s.start, s.end);
  }
  if (segments.empty() || n == 0) {
    throw std::domain_error("no frame is left to score: there is no segment or every frame is NaN");
  }
  const auto frames = static_cast<double>(n);
  const auto parameters = static_cast<double>(2 * segments.size() - 1);
  return frames * std::log(rss / frames) + parameters * std::log(frames);
}

double allFramesBic(std::span<const double> intensity, std::span<const Partition> partitions) {
  const RangeCosts costs(intensity);
  const std::vector<Partition> merged = mergedPartitions(costs, partitions);
  return segmentsBic(costs, coveringSegments(costs, merged));
}

}  // namespace lumetra
