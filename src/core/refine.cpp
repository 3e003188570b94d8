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

// Where one or two change points go inside [from, to), in the segment [start, end) that holds it,
// and how much they lower the sum of squares (each piece about its own mean).
struct Split {
  double gain = 0;
  std::vector<Index> changes;
};

Split bestSplit(const RangeCosts& costs, Index start, Index end, Index from, Index to,
                std::size_t changes) {
  Split best;
  const double whole = costs.rss(start, end);
  from = std::max(from, start + 1);
  to = std::min(to, end - 1);
  for (Index t1 = from; t1 <= to; ++t1) {
    if (changes == 1) {
      const double gain = whole - costs.rss(start, t1) - costs.rss(t1, end);
      if (gain > best.gain) best = {gain, {t1}};
      continue;
    }
    const double head = costs.rss(start, t1);
    for (Index t2 = t1 + 1; t2 <= to; ++t2) {
      const double gain = whole - head - costs.rss(t1, t2) - costs.rss(t2, end);
      if (gain > best.gain) best = {gain, {t1, t2}};
    }
  }
  return best;
}

void checkStretches(std::span<const Stretch> stretches, std::size_t frames) {
  for (std::size_t i = 0; i < stretches.size(); ++i) {
    const Stretch& s = stretches[i];
    if (s.start < 0 || s.end < s.start || s.end > static_cast<Index>(frames)) {
      throw std::invalid_argument("stretch " + std::to_string(i) + " [" + std::to_string(s.start) +
                                  ", " + std::to_string(s.end) + ") is not inside the trace of " +
                                  std::to_string(frames) + " frames");
    }
  }
}

// Segment k's group.  Segments sorted by mean start as groups of their own; then, closest first,
// two neighbouring groups join while their means lie within the noise of each other: sigma, or
// three standard errors of the difference for groups of few frames, after allowing for the
// transitions blurred into a group's edge frames.  `levels` receives each
// group's mean over all its frames, ascending.
std::vector<std::size_t> groupLevels(const RangeCosts& costs, std::span<const Partition> segments,
                                     double sigma, std::vector<double>& levels) {
  struct Group {
    double sum;
    double n;
    std::vector<std::size_t> members;
    [[nodiscard]] double mean() const { return sum / n; }
  };
  std::vector<Group> groups;
  for (std::size_t k = 0; k < segments.size(); ++k) {
    const auto n = static_cast<double>(costs.count(segments[k].start, segments[k].end));
    groups.push_back({costs.mean(segments[k].start, segments[k].end) * n, n, {k}});
  }
  std::stable_sort(groups.begin(), groups.end(),
                   [](const Group& a, const Group& b) { return a.mean() < b.mean(); });
  for (;;) {
    std::size_t closest = groups.size();
    double closestRatio = 1;
    for (std::size_t i = 0; i + 1 < groups.size(); ++i) {
      const Group& a = groups[i];
      const Group& b = groups[i + 1];
      const double tolerance = std::max(sigma, 3 * sigma * std::sqrt(1 / a.n + 1 / b.n));
      // Up to two frames of a group hold a transition within their exposure, which pulls its
      // mean towards the other level by up to 2 / n of the difference.
      const double blur = std::max(0.0, 1 - 2 / std::min(a.n, b.n));
      const double ratio = (b.mean() - a.mean()) * blur / tolerance;
      if (ratio <= closestRatio || (tolerance == 0 && b.mean() == a.mean())) {
        closest = i;
        closestRatio = ratio;
      }
    }
    if (closest == groups.size()) break;
    Group& into = groups[closest];
    Group& from = groups[closest + 1];
    into.sum += from.sum;
    into.n += from.n;
    into.members.insert(into.members.end(), from.members.begin(), from.members.end());
    groups.erase(groups.begin() + static_cast<std::ptrdiff_t>(closest) + 1);
  }
  std::vector<std::size_t> group(segments.size(), 0);
  levels.clear();
  for (const Group& g : groups) {
    for (std::size_t k : g.members) group[k] = levels.size();
    levels.push_back(g.mean());
  }
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
  checkStretches(stretches, costs.frames());
  const std::vector<Partition> covering = coveringSegments(costs, partitions);
  RefinedPath out;
  if (costs.count(0, frames) == 0) {
    // Nothing to fit: every frame is NaN.
    out.idealPath.assign(static_cast<std::size_t>(frames), std::nan(""));
    return out;
  }
  // With no partition holding a frame (a fit without an accepted transition, or one whose windows
  // fill the trace) the whole trace starts as one segment.
  // Every gap between two partitions is a stretch too; it starts with one change point.
  std::vector<Stretch> open(stretches.begin(), stretches.end());
  std::vector<Index> changes;
  for (std::size_t k = 0; k + 1 < covering.size(); ++k) {
    changes.push_back(covering[k + 1].start);
  }
  for (std::size_t k = 0; k + 1 < partitions.size(); ++k) {
    open.push_back({partitions[k].end, partitions[k + 1].start});
  }

  // Best first: the one or two change points inside a stretch that lower the score of the whole
  // trace most, as long as any does.  Each new segment costs two parameters.
  const auto n = static_cast<double>(costs.count(0, frames));
  const double perChange = 2 * std::log(n);
  for (;;) {
    double rss = 0;
    std::vector<Index> bounds = {0};
    bounds.insert(bounds.end(), changes.begin(), changes.end());
    bounds.push_back(frames);
    for (std::size_t k = 0; k + 1 < bounds.size(); ++k) rss += costs.rss(bounds[k], bounds[k + 1]);
    if (!(rss > 0)) break;
    Split best;
    double bestScore = 0;
    for (const Stretch& s : open) {
      for (std::size_t k = 0; k + 1 < bounds.size(); ++k) {
        if (bounds[k + 1] <= s.start || bounds[k] >= s.end) continue;
        for (std::size_t count : {1, 2}) {
          const Split split = bestSplit(costs, bounds[k], bounds[k + 1], s.start, s.end, count);
          if (split.changes.empty() || !(split.gain < rss)) continue;
          const double score = n * std::log(rss / (rss - split.gain)) -
                               perChange * static_cast<double>(split.changes.size());
          if (score > bestScore) {
            bestScore = score;
            best = split;
          }
        }
      }
    }
    if (best.changes.empty()) break;
    changes.insert(changes.end(), best.changes.begin(), best.changes.end());
    std::sort(changes.begin(), changes.end());
  }

  const std::vector<Partition> segments = segmentsBetween(costs, changes);
  double segmentRss = 0;
  for (const Partition& s : segments) segmentRss += costs.rss(s.start, s.end);
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
