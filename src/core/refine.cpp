#include "refine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>

#include "all_frames.hpp"

namespace lumetra {
namespace {

using Index = std::ptrdiff_t;
constexpr double kInf = std::numeric_limits<double>::infinity();

// A stretch to decide, with the levels on either side of it.
struct Decision {
  Index start;
  Index end;
  double before;
  double after;
  bool inside;  // within one level: no change point, or an excursion that returns
};

struct Placement {
  double cost = kInf;  // squared deviations over the stretch
  std::vector<Index> changes;
};

// One change point from `before` to `after`, at its least-squares position.
Placement oneStep(const RangeCosts& costs, const Decision& d) {
  Placement best;
  for (Index t = d.start; t <= d.end; ++t) {
    const double cost = costs.rssAbout(d.start, t, d.before) + costs.rssAbout(t, d.end, d.after);
    if (cost < best.cost) best = {cost, {t}};
  }
  return best;
}

// Two change points around a middle of its own level, at their least-squares positions.
Placement excursion(const RangeCosts& costs, const Decision& d) {
  Placement best;
  for (Index t1 = d.start; t1 < d.end; ++t1) {
    const double head = costs.rssAbout(d.start, t1, d.before);
    for (Index t2 = t1 + 1; t2 <= d.end; ++t2) {
      if (costs.count(t1, t2) == 0) continue;
      const double cost = head + costs.rss(t1, t2) + costs.rssAbout(t2, d.end, d.after);
      if (cost < best.cost) best = {cost, {t1, t2}};
    }
  }
  return best;
}

// Mean of the frames of [from, to) outside the stretches; of all of them when none is left.
double levelOutside(const RangeCosts& costs, Index from, Index to,
                    std::span<const Stretch> stretches) {
  double sum = 0;
  std::size_t n = 0;
  auto add = [&](Index a, Index b) {
    if (b <= a) return;
    const std::size_t k = costs.count(a, b);
    if (k > 0) sum += costs.mean(a, b) * static_cast<double>(k);
    n += k;
  };
  Index at = from;
  for (const Stretch& s : stretches) {
    if (s.end <= from || s.start >= to) continue;
    add(at, std::max(at, s.start));
    at = std::max(at, std::min(to, s.end));
  }
  add(at, to);
  return n > 0 ? sum / static_cast<double>(n) : costs.mean(from, to);
}

void checkStretches(std::span<const Stretch> stretches, std::size_t frames) {
  Index previousEnd = 0;
  for (std::size_t i = 0; i < stretches.size(); ++i) {
    const Stretch& s = stretches[i];
    if (s.start < previousEnd || s.end < s.start || s.end > static_cast<Index>(frames)) {
      throw std::invalid_argument("stretch " + std::to_string(i) + " [" + std::to_string(s.start) +
                                  ", " + std::to_string(s.end) +
                                  ") is out of order or outside the trace of " +
                                  std::to_string(frames) + " frames");
    }
    previousEnd = s.end;
  }
}

// The stretches to decide, in frame order: every stretch inside a partition, and every gap
// between two partitions.  `levels` is the level of each partition.
std::vector<Decision> decisions(std::span<const Partition> parts, std::span<const double> levels,
                                std::span<const Stretch> stretches) {
  std::vector<Decision> out;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    for (const Stretch& s : stretches) {
      if (s.start >= parts[k].start && s.end <= parts[k].end && s.end > s.start) {
        out.push_back({s.start, s.end, levels[k], levels[k], true});
      }
    }
    if (k + 1 < parts.size()) {
      out.push_back({parts[k].end, parts[k + 1].start, levels[k], levels[k + 1], false});
    }
  }
  return out;
}

// Segment k's group: segments sorted by mean, each joins the group before it when its mean lies
// within the noise of the group's (the larger of sigma and twice the standard error of the
// difference).  `levels` receives each group's mean over all its frames, ascending.
std::vector<std::size_t> groupLevels(const RangeCosts& costs, std::span<const Partition> segments,
                                     double sigma, std::vector<double>& levels) {
  std::vector<double> means;
  for (const Partition& s : segments) means.push_back(costs.mean(s.start, s.end));
  std::vector<std::size_t> order(segments.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return means[a] < means[b]; });
  std::vector<std::size_t> group(segments.size(), 0);
  double sum = 0;
  double n = 0;
  levels.clear();
  for (std::size_t k : order) {
    const auto count = static_cast<double>(costs.count(segments[k].start, segments[k].end));
    const double tolerance = std::max(sigma, 2 * sigma * std::sqrt(1 / count + 1 / n));
    if (levels.empty() || !(std::abs(means[k] - sum / n) <= tolerance)) {
      if (!levels.empty()) levels.back() = sum / n;
      levels.push_back(0);
      sum = 0;
      n = 0;
    }
    sum += means[k] * count;
    n += count;
    group[k] = levels.size() - 1;
  }
  if (!levels.empty()) levels.back() = sum / n;
  return group;
}

// Segments between the change points; one without a non-NaN frame joins the one before it (the
// first, the one after it).
std::vector<Partition> segmentsBetween(const RangeCosts& costs, std::span<const Index> changes) {
  const auto frames = static_cast<Index>(costs.frames());
  std::vector<Partition> segments;
  Index start = 0;
  for (Index t : changes) {
    if (t <= start || t >= frames || costs.count(start, t) == 0) continue;
    segments.push_back({start, t, static_cast<Index>(segments.size())});
    start = t;
  }
  if (costs.count(start, frames) > 0 || segments.empty()) {
    segments.push_back({start, frames, static_cast<Index>(segments.size())});
  } else {
    segments.back().end = frames;
  }
  return segments;
}

}  // namespace

RefinedPath refineTransitions(std::span<const double> intensity,
                              std::span<const Partition> partitions,
                              std::span<const Stretch> stretches) {
  const RangeCosts costs(intensity);
  const auto frames = static_cast<Index>(costs.frames());
  checkPartitionOrder(partitions, costs.frames());
  checkStretches(stretches, costs.frames());
  std::vector<Partition> parts;
  for (const Partition& p : partitions) {
    if (costs.count(p.start, p.end) > 0) parts.push_back(p);
  }
  if (parts.empty()) throw std::invalid_argument("refineTransitions: no partition with a frame");
  parts.front().start = 0;
  parts.back().end = frames;
  std::vector<double> levels;
  for (const Partition& p : parts) levels.push_back(levelOutside(costs, p.start, p.end, stretches));
  const std::vector<Decision> open = decisions(parts, levels, stretches);

  // Frames outside every stretch keep their partition's level.
  std::vector<bool> decided(static_cast<std::size_t>(frames), false);
  for (const Decision& d : open)
    std::fill(decided.begin() + d.start, decided.begin() + d.end, true);
  double rss = 0;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    for (Index f = parts[k].start; f < parts[k].end; ++f) {
      if (!decided[static_cast<std::size_t>(f)]) rss += costs.rssAbout(f, f + 1, levels[k]);
    }
  }
  // Every stretch placed the simple way first; then each excursion that lowers the score of the
  // whole trace, one stretch after the other.  An excursion adds one segment to a gap and two
  // inside a level, two parameters each.
  std::vector<Placement> chosen;
  for (const Decision& d : open) {
    chosen.push_back(d.inside ? Placement{costs.rssAbout(d.start, d.end, d.before), {}}
                              : oneStep(costs, d));
    rss += chosen.back().cost;
  }
  const auto n = static_cast<double>(costs.count(0, frames));
  for (std::size_t i = 0; i < open.size(); ++i) {
    const Placement alternative = excursion(costs, open[i]);
    if (alternative.changes.empty()) continue;
    const double added = open[i].inside ? 2 : 1;
    const double newRss = rss - chosen[i].cost + alternative.cost;
    if (n * std::log(rss / newRss) > 2 * added * std::log(n)) {
      rss = newRss;
      chosen[i] = alternative;
    }
  }

  std::vector<Index> changes;
  for (const Placement& p : chosen)
    changes.insert(changes.end(), p.changes.begin(), p.changes.end());
  const std::vector<Partition> segments = segmentsBetween(costs, changes);
  double segmentRss = 0;
  for (const Partition& s : segments) segmentRss += costs.rss(s.start, s.end);
  RefinedPath out;
  const std::vector<std::size_t> group =
      groupLevels(costs, segments, std::sqrt(segmentRss / n), out.levels);
  out.idealPath.resize(static_cast<std::size_t>(frames));
  for (std::size_t k = 0; k < segments.size(); ++k) {
    std::fill(out.idealPath.begin() + segments[k].start, out.idealPath.begin() + segments[k].end,
              out.levels[group[k]]);
    if (k > 0 && group[k] != group[k - 1]) out.changePoints.push_back(segments[k].start);
  }
  return out;
}

}  // namespace lumetra
