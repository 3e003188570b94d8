#include "kinetics.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "gamma.hpp"

namespace lumetra {
namespace {

[[noreturn]] void fail(const char* function, const std::string& what) {
  throw std::invalid_argument(std::string(function) + ": " + what);
}

void checkConfidence(const char* function, double confidence) {
  if (!(confidence > 0 && confidence < 1)) fail(function, "confidence must lie in (0, 1)");
}

// The dwells of at least `shortest`, less `shortest`.
std::vector<double> shifted(const char* function, std::span<const double> dwells, double shortest) {
  if (!std::isfinite(shortest) || shortest < 0) fail(function, "shortest must be finite, >= 0");
  std::vector<double> out;
  for (double d : dwells) {
    if (!std::isfinite(d) || d < 0) fail(function, "dwell times must be finite and >= 0");
    if (d >= shortest) out.push_back(d - shortest);
  }
  return out;
}

double mixtureLogLikelihood(std::span<const double> t, double a, double k1, double k2) {
  double sum = 0;
  for (double x : t) sum += std::log(a * k1 * std::exp(-k1 * x) + (1 - a) * k2 * std::exp(-k2 * x));
  return sum;
}

using Vector3 = std::array<double, 3>;
using Matrix3 = std::array<Vector3, 3>;

// Log-likelihood in the unbounded parameters (logit fraction, log rate 1, log rate 2).
double mixtureLogLikelihood(std::span<const double> t, const Vector3& theta) {
  const double a = 1 / (1 + std::exp(-theta[0]));
  return mixtureLogLikelihood(t, a, std::exp(theta[1]), std::exp(theta[2]));
}

Matrix3 inverse(const Matrix3& m) {
  Matrix3 out{};
  const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                     m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      // Cofactor of (j, i) over the determinant.
      const int r0 = (j + 1) % 3, r1 = (j + 2) % 3, c0 = (i + 1) % 3, c1 = (i + 2) % 3;
      out[i][j] = (m[r0][c0] * m[r1][c1] - m[r0][c1] * m[r1][c0]) / det;
    }
  }
  return out;
}

// Standard errors of the unbounded parameters from the observed information (central
// differences of the log-likelihood); NaN where the information is not positive definite.
Vector3 standardErrors(std::span<const double> t, const Vector3& theta) {
  constexpr double h = 1e-4;
  Matrix3 information{};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      auto at = [&](double di, double dj) {
        Vector3 p = theta;
        p[i] += di;
        p[j] += dj;
        return mixtureLogLikelihood(t, p);
      };
      information[i][j] = -(at(h, h) - at(h, -h) - at(-h, h) + at(-h, -h)) / (4 * h * h);
    }
  }
  const Matrix3 covariance = inverse(information);
  Vector3 out{};
  for (int i = 0; i < 3; ++i) {
    out[i] = covariance[i][i] > 0 ? std::sqrt(covariance[i][i]) : std::nan("");
  }
  return out;
}

}  // namespace

LevelClusters clusterLevels(std::span<const double> values, std::span<const double> weights,
                            std::size_t k) {
  constexpr const char* kName = "clusterLevels";
  if (weights.size() != values.size()) fail(kName, "values and weights differ in length");
  std::set<double> distinct;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!std::isfinite(values[i])) fail(kName, "values must be finite");
    if (!std::isfinite(weights[i]) || !(weights[i] > 0)) {
      fail(kName, "weights must be finite and > 0");
    }
    distinct.insert(values[i]);
  }
  if (k == 0 || k > distinct.size()) {
    fail(kName, "cannot make " + std::to_string(k) + " groups of " +
                    std::to_string(distinct.size()) + " distinct values");
  }

  std::vector<std::size_t> order(values.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](auto a, auto b) { return values[a] < values[b]; });
  const double total = std::accumulate(weights.begin(), weights.end(), 0.0);
  LevelClusters out;
  out.centres.resize(k);
  double below = 0;
  std::size_t next = 0;
  for (std::size_t i : order) {
    below += weights[i];
    while (next < k &&
           below >= total * (static_cast<double>(next) + 0.5) / static_cast<double>(k)) {
      out.centres[next++] = values[i];
    }
  }

  // Many equal values can give equal quantiles: then start from evenly spaced distinct values.
  if (std::adjacent_find(out.centres.begin(), out.centres.end()) != out.centres.end()) {
    const std::vector<double> levels(distinct.begin(), distinct.end());
    for (std::size_t c = 0; c < k; ++c) {
      out.centres[c] = levels[k == 1 ? 0 : c * (levels.size() - 1) / (k - 1)];
    }
  }

  out.labels.assign(values.size(), k);
  for (int iteration = 0; iteration < 1000; ++iteration) {
    bool changed = false;
    for (std::size_t i = 0; i < values.size(); ++i) {
      std::size_t best = 0;
      for (std::size_t c = 1; c < k; ++c) {
        if (std::abs(values[i] - out.centres[c]) < std::abs(values[i] - out.centres[best]))
          best = c;
      }
      changed = changed || best != out.labels[i];
      out.labels[i] = best;
    }
    if (!changed) break;
    std::vector<double> sum(k, 0.0), weight(k, 0.0);
    for (std::size_t i = 0; i < values.size(); ++i) {
      sum[out.labels[i]] += weights[i] * values[i];
      weight[out.labels[i]] += weights[i];
    }
    // A centre that lost all its values stays where it is.
    for (std::size_t c = 0; c < k; ++c) {
      if (weight[c] > 0) out.centres[c] = sum[c] / weight[c];
    }
  }
  // Centres keep their order in one dimension; relabelling by ascending centre makes sure.
  std::vector<std::size_t> rank(k);
  std::iota(rank.begin(), rank.end(), 0);
  std::sort(rank.begin(), rank.end(),
            [&](auto a, auto b) { return out.centres[a] < out.centres[b]; });
  std::vector<std::size_t> position(k);
  for (std::size_t r = 0; r < k; ++r) position[rank[r]] = r;
  std::vector<double> sorted(k);
  for (std::size_t c = 0; c < k; ++c) sorted[position[c]] = out.centres[c];
  out.centres = sorted;
  for (std::size_t& label : out.labels) label = position[label];
  return out;
}

std::vector<Dwell> completeDwells(std::span<const double> levels, std::span<const double> time) {
  if (levels.size() != time.size()) {
    fail("completeDwells", "levels and time differ in length (" + std::to_string(levels.size()) +
                               " and " + std::to_string(time.size()) + ")");
  }
  std::vector<Dwell> out;
  std::size_t runStart = 0;
  bool firstRun = true;
  for (std::size_t f = 1; f < levels.size(); ++f) {
    if (levels[f] == levels[runStart]) continue;
    if (!firstRun) out.push_back({levels[runStart], time[f] - time[runStart]});
    firstRun = false;
    runStart = f;
  }
  return out;
}

RateFit fitSingleExponential(std::span<const double> dwells, double shortest, double confidence) {
  constexpr const char* kName = "fitSingleExponential";
  checkConfidence(kName, confidence);
  const std::vector<double> t = shifted(kName, dwells, shortest);
  if (t.empty()) fail(kName, "no dwell time of at least the shortest one counted");
  const double sum = std::accumulate(t.begin(), t.end(), 0.0);
  if (!(sum > 0)) fail(kName, "every dwell time equals the shortest one counted");
  const auto n = static_cast<double>(t.size());
  const double rate = n / sum;
  const double tail = (1 - confidence) / 2;
  return {rate, chiSquareQuantile(tail, 2 * n) / (2 * sum),
          chiSquareQuantile(1 - tail, 2 * n) / (2 * sum), t.size(), n * std::log(rate) - n};
}

DoubleExponentialFit fitDoubleExponential(std::span<const double> dwells, double shortest,
                                          double confidence) {
  constexpr const char* kName = "fitDoubleExponential";
  checkConfidence(kName, confidence);
  std::vector<double> t = shifted(kName, dwells, shortest);
  if (t.size() < 4) fail(kName, "needs at least 4 dwell times");

  // Start: the shorter and the longer half of the dwells.
  std::vector<double> sorted = t;
  std::sort(sorted.begin(), sorted.end());
  const std::size_t half = sorted.size() / 2;
  const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(half);
  const double shortMean = std::accumulate(sorted.begin(), middle, 0.0) / static_cast<double>(half);
  const double longMean =
      std::accumulate(middle, sorted.end(), 0.0) / static_cast<double>(sorted.size() - half);
  if (!(longMean > 0)) fail(kName, "every dwell time equals the shortest one counted");
  double a = 0.5;
  double k1 = 1 / std::max(shortMean, longMean * 1e-3);
  double k2 = 1 / longMean;

  DoubleExponentialFit out{};
  double previous = -std::numeric_limits<double>::infinity();
  for (out.iterations = 1; out.iterations <= 10000; ++out.iterations) {
    double r1 = 0, r1t = 0, r2t = 0;
    for (double x : t) {
      const double p1 = a * k1 * std::exp(-k1 * x);
      const double p2 = (1 - a) * k2 * std::exp(-k2 * x);
      const double w = p1 + p2 > 0 ? p1 / (p1 + p2) : 0.5;
      r1 += w;
      r1t += w * x;
      r2t += (1 - w) * x;
    }
    const auto n = static_cast<double>(t.size());
    a = std::clamp(r1 / n, 1e-12, 1 - 1e-12);
    if (r1t > 0) k1 = r1 / r1t;
    if (r2t > 0) k2 = (n - r1) / r2t;
    const double logLikelihood = mixtureLogLikelihood(t, a, k1, k2);
    if (std::abs(logLikelihood - previous) < 1e-13 * std::max(1.0, std::abs(logLikelihood))) {
      break;
    }
    previous = logLikelihood;
  }
  if (k1 < k2) {
    std::swap(k1, k2);
    a = 1 - a;
  }
  const Vector3 theta{std::log(a / (1 - a)), std::log(k1), std::log(k2)};
  const Vector3 se = standardErrors(t, theta);
  const double z = std::sqrt(chiSquareQuantile(confidence, 1));
  auto logistic = [](double x) { return 1 / (1 + std::exp(-x)); };
  out.fraction = a;
  out.fractionLower = logistic(theta[0] - z * se[0]);
  out.fractionUpper = logistic(theta[0] + z * se[0]);
  out.logLikelihood = mixtureLogLikelihood(t, a, k1, k2);
  out.fast = {k1, std::exp(theta[1] - z * se[1]), std::exp(theta[1] + z * se[1]), t.size(),
              out.logLikelihood};
  out.slow = {k2, std::exp(theta[2] - z * se[2]), std::exp(theta[2] + z * se[2]), t.size(),
              out.logLikelihood};
  return out;
}

}  // namespace lumetra
