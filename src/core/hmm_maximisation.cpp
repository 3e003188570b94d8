#include "hmm_maximisation.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <span>
#include <utility>

#include "matrix_log.hpp"
#include "rate_fit.hpp"

namespace lumetra::hmmdetail {

namespace {

// Means, spreads and trace scales from the per-trace tallies, one conditional maximisation after
// the other (an ECM step): the means given the scales (each trace's frames weighted by
// 1 / scale^2), the spreads given both, the scales given means and spreads; then the scales
// normalised (frame-weighted geometric mean 1, the factor into the spreads) and held within
// their limits. States without occupancy keep what they had and are listed.
void scaledNoise(const Tally& t, HmmModel& m, const HmmOptions& options, double floor,
                 std::vector<std::size_t>& empty) {
  const std::size_t k = m.states(), traces = m.traceScales.size();
  auto tally = [&](std::size_t n, std::size_t s, std::size_t i) {
    return t.perTrace[3 * (n * k + s) + i];
  };
  std::vector<double>& scales = m.traceScales;
  std::vector<bool> occupied(k, false);
  for (std::size_t s = 0; s < k; ++s) {
    double weight = 0, sum = 0;
    for (std::size_t n = 0; n < traces; ++n) {
      const double w = 1 / (scales[n] * scales[n]);
      weight += w * tally(n, s, 0);
      sum += w * tally(n, s, 1);
    }
    occupied[s] = t.occupancy[s] > kEmpty;
    if (!occupied[s]) {
      empty.push_back(s);
      continue;
    }
    m.means[s] = sum / weight;
  }
  auto squares = [&](std::size_t n, std::size_t s) {
    const double mean = m.means[s];
    return std::max(tally(n, s, 2) - 2 * mean * tally(n, s, 1) + mean * mean * tally(n, s, 0), 0.0);
  };
  double pooled = 0, frames = 0;
  for (std::size_t s = 0; s < k; ++s) {
    if (!occupied[s]) continue;
    double scaled = 0;
    for (std::size_t n = 0; n < traces; ++n) scaled += squares(n, s) / (scales[n] * scales[n]);
    pooled += scaled;
    frames += t.occupancy[s];
    m.spreads[s] = std::sqrt(scaled / t.occupancy[s]);
  }
  if (options.sharedSpread)
    std::fill(m.spreads.begin(), m.spreads.end(), std::sqrt(pooled / frames));
  double logSum = 0, weights = 0;
  for (std::size_t n = 0; n < traces; ++n) {
    double standardised = 0, weight = 0;
    for (std::size_t s = 0; s < k; ++s) {
      if (!occupied[s]) continue;
      standardised += squares(n, s) / (m.spreads[s] * m.spreads[s]);
      weight += tally(n, s, 0);
    }
    if (!(weight > kEmpty) || !(standardised > 0)) continue;  // nothing to tell: kept
    scales[n] = std::sqrt(standardised / weight);
    logSum += weight * std::log(scales[n]);
    weights += weight;
  }
  const double centre = weights > 0 ? std::exp(logSum / weights) : 1.0;
  for (double& scale : scales) {
    scale = std::clamp(scale / centre, 1 / options.maxTraceScale, options.maxTraceScale);
  }
  for (std::size_t s = 0; s < k; ++s) {
    if (occupied[s] || options.sharedSpread) m.spreads[s] = std::max(m.spreads[s] * centre, floor);
  }
}

// Means and spreads (and trace scales) from the emission tallies; states without occupancy keep
// what they had and are listed.
void emissionStep(const Tally& t, HmmModel& m, const HmmOptions& options, double floor,
                  std::vector<std::size_t>& empty) {
  if (options.fitTraceScales) {
    scaledNoise(t, m, options, floor, empty);
    return;
  }
  const std::size_t k = m.states();
  double pooled = 0, occupied = 0;
  for (std::size_t s = 0; s < k; ++s) {
    if (!(t.occupancy[s] > kEmpty)) {
      empty.push_back(s);
      continue;
    }
    m.means[s] = t.sumX[s] / t.occupancy[s];
    const double squares = std::max(
        t.sumXX[s] - 2 * m.means[s] * t.sumX[s] + m.means[s] * m.means[s] * t.occupancy[s], 0.0);
    pooled += squares;
    occupied += t.occupancy[s];
    m.spreads[s] = std::max(std::sqrt(squares / t.occupancy[s]), floor);
  }
  if (options.sharedSpread) {
    const double shared = std::max(std::sqrt(pooled / occupied), floor);
    std::fill(m.spreads.begin(), m.spreads.end(), shared);
  }
}

// The emission step of a model whose states share levels: made on the levels' pooled tallies,
// each state then taking its level's mean and spread.
void tiedEmissionStep(const Tally& t, HmmModel& m, const HmmOptions& options, double floor,
                      std::vector<std::size_t>& empty) {
  const std::size_t k = m.states();
  const std::size_t levels = *std::max_element(m.levelOf.begin(), m.levelOf.end()) + 1;
  HmmModel tied;
  tied.means.resize(levels);
  tied.spreads.resize(levels);
  for (std::size_t s = k; s-- > 0;) {
    tied.means[m.levelOf[s]] = m.means[s];
    tied.spreads[m.levelOf[s]] = m.spreads[s];
  }
  tied.traceScales = std::move(m.traceScales);
  std::vector<std::size_t> emptyLevels;
  emissionStep(t.byLevel(m.levelOf, levels), tied, options, floor, emptyLevels);
  m.traceScales = std::move(tied.traceScales);
  for (std::size_t s = 0; s < k; ++s) {
    m.means[s] = tied.means[m.levelOf[s]];
    m.spreads[s] = tied.spreads[m.levelOf[s]];
    if (std::find(emptyLevels.begin(), emptyLevels.end(), m.levelOf[s]) != emptyLevels.end()) {
      empty.push_back(s);
    }
  }
}

}  // namespace

std::vector<double> startRates(const HmmModel& m, const std::vector<std::uint8_t>& free) {
  const std::size_t k = m.states();
  std::vector<double> q = m.rates;
  if (q.empty()) {
    if (auto valid = rateMatrix(m.transition, k, 1)) {
      q = std::move(*valid);
    } else {
      q = m.transition;
      for (std::size_t i = 0; i < k; ++i) q[i * k + i] -= 1;
    }
  }
  for (std::size_t i = 0; i < k; ++i) {
    double out = 0;
    for (std::size_t j = 0; j < k; ++j) {
      if (i == j) continue;
      if (free[i * k + j] == 0) q[i * k + j] = 0;
      out += q[i * k + j];
    }
    q[i * k + i] = -out;
  }
  return q;
}

HmmModel maximisation(const Tally& t, const HmmModel& old, const HmmOptions& options, double floor,
                      std::size_t frames, std::vector<std::size_t>& empty) {
  const std::size_t k = old.states();
  HmmModel m = old;
  empty.clear();
  const double traces = std::accumulate(t.start.begin(), t.start.end(), 0.0);
  for (std::size_t s = 0; s < k; ++s) m.start[s] = t.start[s] / traces;
  if (!options.freeRates.empty()) {
    m.rates = fitRates(t.transitions, options.freeRates, old.rates, k);
    m.transition = transitionOfRates(m.rates, k);
  } else {
    for (std::size_t i = 0; i < k; ++i) {
      const auto row = std::span(t.transitions).subspan(i * k, k);
      const double sum = std::accumulate(row.begin(), row.end(), 0.0);
      if (!(sum > kEmpty)) continue;
      for (std::size_t j = 0; j < k; ++j) m.transition[i * k + j] = row[j] / sum;
    }
  }
  if (options.fitOutliers && m.outlierDensity > 0) {
    m.outlierShare =
        std::clamp(t.outliers / static_cast<double>(frames), kMinOutlierShare, kMaxOutlierShare);
  }
  if (m.levelOf.empty()) {
    emissionStep(t, m, options, floor, empty);
  } else {
    tiedEmissionStep(t, m, options, floor, empty);
  }
  return m;
}

}  // namespace lumetra::hmmdetail
