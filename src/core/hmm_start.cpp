#include "hmm_start.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

namespace lumetra {

namespace {

constexpr int kMaxLloydIterations = 200;
constexpr double kPseudoCount = 1.0;

struct Weighted {
  double value;
  double weight;
};

}  // namespace

std::vector<double> kMeansLevels(std::span<const double> values, std::span<const double> weights,
                                 std::size_t states) {
  if (states == 0) throw std::invalid_argument("k-means: no state");
  if (values.size() != weights.size()) throw std::invalid_argument("k-means: sizes differ");
  std::vector<Weighted> points;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!std::isnan(values[i]) && weights[i] > 0) points.push_back({values[i], weights[i]});
  }
  if (points.empty()) throw std::invalid_argument("k-means: no value with a positive weight");
  std::sort(points.begin(), points.end(),
            [](const Weighted& a, const Weighted& b) { return a.value < b.value; });
  // Prefix sums: weight and weight * value, so a group's mean costs two look-ups.
  const std::size_t n = points.size();
  std::vector<double> w(n + 1, 0.0), wx(n + 1, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    w[i + 1] = w[i] + points[i].weight;
    wx[i + 1] = wx[i] + points[i].weight * points[i].value;
  }
  std::vector<double> centres(states);
  std::size_t at = 0;
  for (std::size_t s = 0; s < states; ++s) {
    const double target = (static_cast<double>(s) + 0.5) / static_cast<double>(states) * w[n];
    while (at + 1 < n && w[at + 1] < target) ++at;
    centres[s] = points[at].value;
  }
  std::vector<std::size_t> bounds(states + 1);
  for (int it = 0; it < kMaxLloydIterations; ++it) {
    // Group s holds the points between the midpoints to its neighbours.
    bounds[0] = 0;
    bounds[states] = n;
    for (std::size_t s = 1; s < states; ++s) {
      const double mid = 0.5 * (centres[s - 1] + centres[s]);
      bounds[s] = static_cast<std::size_t>(
          std::upper_bound(points.begin(), points.end(), mid,
                           [](double v, const Weighted& p) { return v < p.value; }) -
          points.begin());
      bounds[s] = std::max(bounds[s], bounds[s - 1]);
    }
    bool moved = false;
    for (std::size_t s = 0; s < states; ++s) {
      const double weight = w[bounds[s + 1]] - w[bounds[s]];
      if (!(weight > 0)) continue;
      const double mean = (wx[bounds[s + 1]] - wx[bounds[s]]) / weight;
      moved = moved || mean != centres[s];
      centres[s] = mean;
    }
    std::sort(centres.begin(), centres.end());
    if (!moved) break;
  }
  return centres;
}

std::vector<std::size_t> nearestStates(std::span<const double> trace,
                                       std::span<const double> centres) {
  std::vector<std::size_t> path(trace.size(), 0);
  for (std::size_t t = 0; t < trace.size(); ++t) {
    if (std::isnan(trace[t])) continue;
    for (std::size_t s = 1; s < centres.size(); ++s) {
      if (std::abs(trace[t] - centres[s]) < std::abs(trace[t] - centres[path[t]])) path[t] = s;
    }
  }
  return path;
}

HmmModel modelFromPaths(TraceSpans traces, const std::vector<std::vector<std::size_t>>& paths,
                        std::span<const double> centres, bool sharedSpread) {
  const std::size_t k = centres.size();
  if (k == 0 || traces.size() != paths.size()) {
    throw std::invalid_argument("hmm start: traces and paths differ in number, or no state");
  }
  std::vector<double> start(k, kPseudoCount), transitions(k * k, kPseudoCount);
  std::vector<double> count(k, 0.0), sum(k, 0.0), sumSq(k, 0.0);
  for (std::size_t i = 0; i < traces.size(); ++i) {
    const auto& trace = traces[i];
    const auto& path = paths[i];
    if (path.size() != trace.size()) throw std::invalid_argument("hmm start: path length");
    for (std::size_t t = 0; t < path.size(); ++t) {
      if (path[t] >= k) throw std::invalid_argument("hmm start: state out of range");
      if (t == 0) start[path[t]] += 1;
      if (t > 0) transitions[path[t - 1] * k + path[t]] += 1;
      if (std::isnan(trace[t])) continue;
      count[path[t]] += 1;
      sum[path[t]] += trace[t];
      sumSq[path[t]] += trace[t] * trace[t];
    }
  }
  HmmModel m;
  m.means.assign(centres.begin(), centres.end());
  m.spreads.assign(k, 0.0);
  double pooled = 0, frames = 0;
  for (std::size_t s = 0; s < k; ++s) {
    if (count[s] == 0) continue;
    m.means[s] = sum[s] / count[s];
    const double squares = std::max(sumSq[s] - sum[s] * m.means[s], 0.0);
    m.spreads[s] = std::sqrt(squares / count[s]);
    pooled += squares;
    frames += count[s];
  }
  // Spreads of zero (constant data) fall back to a small fraction of the levels' range.
  const auto [low, high] = std::minmax_element(m.means.begin(), m.means.end());
  const double fallback = std::max({1e-6 * (*high - *low), 1e-6 * std::abs(*high), 1e-12});
  const double shared = frames > 0 ? std::sqrt(pooled / frames) : 0.0;
  for (std::size_t s = 0; s < k; ++s) {
    if (sharedSpread || count[s] == 0) m.spreads[s] = shared;
    if (!(m.spreads[s] > 0)) m.spreads[s] = fallback;
  }
  const double starts = std::accumulate(start.begin(), start.end(), 0.0);
  for (double& p : start) p /= starts;
  m.start = std::move(start);
  for (std::size_t r = 0; r < k; ++r) {
    const auto row = std::span(transitions).subspan(r * k, k);
    const double total = std::accumulate(row.begin(), row.end(), 0.0);
    for (double& p : row) p /= total;
  }
  m.transition = std::move(transitions);
  return m;
}

HmmModel orderedByMean(const HmmModel& model) {
  const std::size_t k = model.states();
  std::vector<std::size_t> order(k);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return model.means[a] < model.means[b]; });
  HmmModel m = model;
  for (std::size_t i = 0; i < k; ++i) {
    m.means[i] = model.means[order[i]];
    m.spreads[i] = model.spreads[order[i]];
    m.start[i] = model.start[order[i]];
    if (!model.levelOf.empty()) m.levelOf[i] = model.levelOf[order[i]];
    for (std::size_t j = 0; j < k; ++j) {
      m.transition[i * k + j] = model.transition[order[i] * k + order[j]];
      if (!model.rates.empty()) m.rates[i * k + j] = model.rates[order[i] * k + order[j]];
    }
  }
  return m;
}

}  // namespace lumetra
