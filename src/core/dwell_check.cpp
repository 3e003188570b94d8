#include "dwell_check.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "matrix_log.hpp"

namespace lumetra {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// A row of Q sums to 0 within this share of its off-diagonal sum (rounding of a fitted Q).
constexpr double kRowSumTolerance = 1e-9;
// P^(2^64): far beyond the mixing time of any chain seen over a recording.
constexpr int kMaxSquarings = 64;
constexpr int kMaxIterations = 10000;
constexpr double kRelativeTolerance = 1e-12;  // of the log-likelihood, ending the EM

[[noreturn]] void fail(const char* function, const std::string& what) {
  throw std::invalid_argument(std::string(function) + ": " + what);
}

void checkRates(std::span<const double> q, std::size_t k) {
  if (k == 0 || q.size() != k * k) fail("levelDwellCdf", "expected a k x k rate matrix");
  for (std::size_t i = 0; i < k; ++i) {
    double leaving = 0;
    for (std::size_t j = 0; j < k; ++j) {
      const double v = q[i * k + j];
      if (j == i) continue;
      if (!std::isfinite(v) || v < 0) fail("levelDwellCdf", "off-diagonal rates must be >= 0");
      leaving += v;
    }
    const double diagonal = q[i * k + i];
    if (!std::isfinite(diagonal) ||
        std::abs(leaving + diagonal) > kRowSumTolerance * (1 + leaving)) {
      fail("levelDwellCdf", "the rows of a rate matrix sum to 0");
    }
  }
}

std::vector<double> multiply(const std::vector<double>& a, const std::vector<double>& b,
                             std::size_t k) {
  std::vector<double> out(k * k, 0.0);
  for (std::size_t i = 0; i < k; ++i)
    for (std::size_t l = 0; l < k; ++l)
      for (std::size_t j = 0; j < k; ++j) out[i * k + j] += a[i * k + l] * b[l * k + j];
  return out;
}

// The long-run share of each state from a uniform start: the rows of P^(2^n) averaged, squared
// until they no longer change (a chain of several closed classes keeps the uniform start's split).
std::vector<double> longRunShares(std::vector<double> power, std::size_t k) {
  for (int s = 0; s < kMaxSquarings; ++s) {
    std::vector<double> next = multiply(power, power, k);
    for (std::size_t i = 0; i < k; ++i) {  // rows summing to 1 + eps would grow without bound
      const auto row = next.begin() + static_cast<std::ptrdiff_t>(i * k);
      const double sum = std::accumulate(row, row + static_cast<std::ptrdiff_t>(k), 0.0);
      std::for_each(row, row + static_cast<std::ptrdiff_t>(k), [sum](double& v) { v /= sum; });
    }
    double change = 0;
    for (std::size_t i = 0; i < next.size(); ++i)
      change = std::max(change, std::abs(next[i] - power[i]));
    power = std::move(next);
    if (change <= std::numeric_limits<double>::epsilon()) break;
  }
  std::vector<double> shares(k, 0.0);
  for (std::size_t i = 0; i < k; ++i)
    for (std::size_t j = 0; j < k; ++j) shares[j] += std::max(power[i * k + j], 0.0);
  const double total = std::accumulate(shares.begin(), shares.end(), 0.0);
  for (double& s : shares) s /= total;
  return shares;
}

// The dwells as distinct lengths (ascending) with their counts.
struct Tally {
  std::vector<double> lengths;
  std::vector<double> counts;
  double n = 0;
};

Tally tally(std::span<const std::int64_t> dwells, const char* function) {
  if (dwells.empty()) fail(function, "no dwell");
  std::vector<std::int64_t> sorted(dwells.begin(), dwells.end());
  std::sort(sorted.begin(), sorted.end());
  if (sorted.front() < 1) fail(function, "dwells last at least one frame");
  Tally t;
  for (std::int64_t d : sorted) {
    if (t.lengths.empty() || t.lengths.back() != static_cast<double>(d)) {
      t.lengths.push_back(static_cast<double>(d));
      t.counts.push_back(0);
    }
    t.counts.back() += 1;
  }
  t.n = static_cast<double>(sorted.size());
  return t;
}

double logGeometric(double frames, double mean) {
  if (mean <= 1) return frames == 1 ? 0 : -std::numeric_limits<double>::infinity();
  return -std::log(mean) + (frames - 1) * std::log1p(-1 / mean);
}

// The means of `components` groups of equal count of the sorted dwells.
std::vector<double> groupMeans(const Tally& t, std::size_t components) {
  std::vector<double> sums(components, 0.0), counts(components, 0.0);
  double rank = 0;
  for (std::size_t u = 0; u < t.lengths.size(); ++u) {
    for (double c = 0; c < t.counts[u]; ++c, ++rank) {
      const auto group = static_cast<std::size_t>(rank * static_cast<double>(components) / t.n);
      sums[group] += t.lengths[u];
      counts[group] += 1;
    }
  }
  const double overall = std::accumulate(sums.begin(), sums.end(), 0.0) / t.n;
  std::vector<double> means(components);
  for (std::size_t c = 0; c < components; ++c)
    means[c] = counts[c] > 0 ? sums[c] / counts[c] : overall;  // more groups than dwells
  return means;
}

GeometricMixture expectationMaximisation(const Tally& t, std::size_t components) {
  GeometricMixture fit;
  fit.weights.assign(components, 1 / static_cast<double>(components));
  fit.meanFrames = groupMeans(t, components);
  std::vector<double> logTerms(components), held(components), heldFrames(components);
  double previous = -std::numeric_limits<double>::infinity();
  for (fit.iterations = 0; fit.iterations < kMaxIterations; ++fit.iterations) {
    double logLikelihood = 0;
    std::fill(held.begin(), held.end(), 0.0);
    std::fill(heldFrames.begin(), heldFrames.end(), 0.0);
    for (std::size_t u = 0; u < t.lengths.size(); ++u) {
      for (std::size_t c = 0; c < components; ++c)
        logTerms[c] = std::log(fit.weights[c]) + logGeometric(t.lengths[u], fit.meanFrames[c]);
      const double top = *std::max_element(logTerms.begin(), logTerms.end());
      double sum = 0;
      for (double& term : logTerms) sum += (term = std::exp(term - top));
      logLikelihood += t.counts[u] * (top + std::log(sum));
      for (std::size_t c = 0; c < components; ++c) {
        const double share = t.counts[u] * logTerms[c] / sum;
        held[c] += share;
        heldFrames[c] += share * t.lengths[u];
      }
    }
    fit.logLikelihood = logLikelihood;
    if (logLikelihood - previous <= kRelativeTolerance * std::abs(logLikelihood)) break;
    previous = logLikelihood;
    for (std::size_t c = 0; c < components; ++c) {
      fit.weights[c] = held[c] / t.n;
      if (held[c] > 0) fit.meanFrames[c] = heldFrames[c] / held[c];
    }
  }
  std::vector<std::size_t> order(components);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return fit.meanFrames[a] < fit.meanFrames[b]; });
  GeometricMixture sorted = fit;
  for (std::size_t c = 0; c < components; ++c) {
    sorted.weights[c] = fit.weights[order[c]];
    sorted.meanFrames[c] = fit.meanFrames[order[c]];
  }
  const auto parameters = static_cast<double>(2 * components - 1);
  sorted.bic = -2 * sorted.logLikelihood + parameters * std::log(t.n);
  return sorted;
}

void checkComponents(std::size_t components, const char* function) {
  if (components < 1 || components > kMaxDwellComponents)
    fail(function, "between 1 and " + std::to_string(kMaxDwellComponents) + " components");
}

}  // namespace

std::vector<LevelRun> levelDwells(std::span<const std::int64_t> levels) {
  std::vector<LevelRun> runs;
  for (const std::int64_t level : levels) {
    if (runs.empty() || level != runs.back().level) runs.push_back({level, 0, false});
    ++runs.back().frames;
  }
  if (!runs.empty()) runs.front().censored = runs.back().censored = true;
  return runs;
}

std::vector<double> levelDwellCdf(std::span<const double> rates,
                                  std::span<const std::int64_t> stateLevels, std::int64_t level,
                                  double frameTime, std::size_t maxFrames) {
  const std::size_t k = stateLevels.size();
  checkRates(rates, k);
  if (!std::isfinite(frameTime) || frameTime <= 0) fail("levelDwellCdf", "frameTime must be > 0");
  std::vector<std::size_t> members;
  for (std::size_t i = 0; i < k; ++i)
    if (stateLevels[i] == level) members.push_back(i);
  if (members.empty()) fail("levelDwellCdf", "no state lies on level " + std::to_string(level));

  std::vector<double> scaled(rates.begin(), rates.end());
  for (double& v : scaled) v *= frameTime;
  const std::vector<double> p = matrixExp(scaled, k);
  const std::vector<double> shares = longRunShares(p, k);
  const std::size_t n = members.size();
  std::vector<double> entry(n, 0.0);
  for (std::size_t i = 0; i < k; ++i) {
    if (stateLevels[i] == level) continue;
    for (std::size_t a = 0; a < n; ++a)
      entry[a] += shares[i] * std::max(p[i * k + members[a]], 0.0);
  }
  const double entering = std::accumulate(entry.begin(), entry.end(), 0.0);
  std::vector<double> cdf(maxFrames + 1, kNaN);
  if (!(entering > 0)) return cdf;
  for (double& e : entry) e /= entering;

  // entry P_mm^d, whose sum is Pr(D >= d + 1).
  std::vector<double> staying = entry, next(n);
  cdf[0] = 0;
  for (std::size_t d = 1; d <= maxFrames; ++d) {
    std::fill(next.begin(), next.end(), 0.0);
    for (std::size_t a = 0; a < n; ++a)
      for (std::size_t b = 0; b < n; ++b)
        next[b] += staying[a] * std::max(p[members[a] * k + members[b]], 0.0);
    staying.swap(next);
    cdf[d] = 1 - std::accumulate(staying.begin(), staying.end(), 0.0);
  }
  return cdf;
}

double cramerVonMises(std::span<const std::int64_t> dwells, std::span<const double> cdf) {
  if (dwells.empty()) fail("cramerVonMises", "no dwell");
  std::vector<std::int64_t> sorted(dwells.begin(), dwells.end());
  std::sort(sorted.begin(), sorted.end());
  const auto longest = static_cast<std::int64_t>(cdf.size()) - 1;
  if (sorted.front() < 1 || sorted.back() > longest)
    fail("cramerVonMises", "dwells must lie in 1..max of the distribution");
  const auto n = static_cast<double>(sorted.size());
  double sum = 0;
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    const auto x = static_cast<std::size_t>(sorted[i]);
    const double middle = (cdf[x - 1] + cdf[x]) / 2;
    const double expected = (2 * static_cast<double>(i) + 1) / (2 * n);
    sum += (middle - expected) * (middle - expected);
  }
  return 1 / (12 * n * n) + sum / n;
}

GeometricMixture fitGeometricMixture(std::span<const std::int64_t> dwells, std::size_t components) {
  checkComponents(components, "fitGeometricMixture");
  return expectationMaximisation(tally(dwells, "fitGeometricMixture"), components);
}

GeometricMixtures fitGeometricMixtures(std::span<const std::int64_t> dwells,
                                       std::size_t maxComponents) {
  checkComponents(maxComponents, "fitGeometricMixtures");
  const Tally t = tally(dwells, "fitGeometricMixtures");
  GeometricMixtures out;
  const std::size_t most = std::min(maxComponents, t.lengths.size());
  for (std::size_t c = 1; c <= most; ++c) {
    out.fits.push_back(expectationMaximisation(t, c));
    if (out.fits.back().bic < out.fits[out.chosen].bic) out.chosen = c - 1;
  }
  return out;
}

std::vector<double> geometricMixtureCdf(std::span<const double> weights,
                                        std::span<const double> meanFrames, std::size_t maxFrames) {
  if (weights.size() != meanFrames.size()) fail("geometricMixtureCdf", "one weight per component");
  for (std::size_t c = 0; c < weights.size(); ++c) {
    if (!(weights[c] >= 0) || !(meanFrames[c] >= 1))
      fail("geometricMixtureCdf", "weights >= 0 and means >= 1 frame");
  }
  std::vector<double> cdf(maxFrames + 1, 0.0);
  for (std::size_t d = 1; d <= maxFrames; ++d) {
    for (std::size_t c = 0; c < weights.size(); ++c) {
      const double stay = 1 - 1 / meanFrames[c];
      cdf[d] += weights[c] * (1 - std::pow(stay, static_cast<double>(d)));
    }
  }
  return cdf;
}

}  // namespace lumetra
