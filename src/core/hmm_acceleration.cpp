#include "hmm_acceleration.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>

#include "hmm_maximisation.hpp"
#include "rate_fit.hpp"

namespace lumetra::hmmdetail {

namespace {

// Below this a probability or rate is taken as zero when its logarithm is taken.
constexpr double kTiny = 1e-300;

double logOf(double v) { return std::log(std::max(v, kTiny)); }

bool fittedAsRates(const HmmModel& m, const HmmOptions& options) {
  return !options.freeRates.empty() && m.rates.size() == m.states() * m.states();
}

bool fittedOutliers(const HmmModel& m, const HmmOptions& options) {
  return options.fitOutliers && m.outlierDensity > 0;
}

// Each probability of `p` from its logarithm in `theta`, zero where `like` is zero, normalised.
void probabilities(const double*& theta, std::span<const double> like, std::span<double> p) {
  double sum = 0;
  for (std::size_t i = 0; i < p.size(); ++i, ++theta) {
    p[i] = like[i] > 0 ? std::exp(*theta) : 0.0;
    sum += p[i];
  }
  if (!(sum > 0) || !std::isfinite(sum)) {
    std::copy(like.begin(), like.end(), p.begin());
    return;
  }
  for (double& v : p) v /= sum;
}

}  // namespace

std::vector<double> unconstrained(const HmmModel& m, const HmmOptions& options) {
  const std::size_t k = m.states();
  std::vector<double> theta(m.means.begin(), m.means.end());
  for (double s : m.spreads) theta.push_back(std::log(s));
  for (double p : m.start) theta.push_back(logOf(p));
  if (fittedAsRates(m, options)) {
    for (std::size_t i = 0; i < k * k; ++i) {
      if (options.freeRates[i] != 0 && i % (k + 1) != 0) theta.push_back(logOf(m.rates[i]));
    }
  } else {
    for (double p : m.transition) theta.push_back(logOf(p));
  }
  for (double s : m.traceScales) theta.push_back(std::log(s));
  if (fittedOutliers(m, options)) {
    theta.push_back(std::log(m.outlierShare) - std::log1p(-m.outlierShare));
  }
  return theta;
}

HmmModel constrained(const std::vector<double>& theta, const HmmModel& like,
                     const HmmOptions& options, double floor) {
  const std::size_t k = like.states();
  HmmModel m = like;
  const double* at = theta.data();
  for (double& mean : m.means) mean = *at++;
  for (double& spread : m.spreads) spread = std::max(std::exp(*at++), floor);
  probabilities(at, like.start, m.start);
  if (fittedAsRates(like, options)) {
    for (std::size_t i = 0; i < k; ++i) {
      double out = 0;
      for (std::size_t j = 0; j < k; ++j) {
        const std::size_t ij = i * k + j;
        if (i == j || options.freeRates[ij] == 0) continue;
        m.rates[ij] = like.rates[ij] > 0 ? std::exp(*at) : 0.0;
        ++at;
        out += m.rates[ij];
      }
      m.rates[i * k + i] = -out;
    }
    m.transition = transitionOfRates(m.rates, k);
  } else {
    for (std::size_t i = 0; i < k; ++i) {
      probabilities(at, std::span(like.transition).subspan(i * k, k),
                    std::span(m.transition).subspan(i * k, k));
    }
  }
  for (double& scale : m.traceScales) {
    scale = std::clamp(std::exp(*at++), 1 / options.maxTraceScale, options.maxTraceScale);
  }
  if (fittedOutliers(like, options)) {
    const double share = 1 / (1 + std::exp(-*at++));
    m.outlierShare = std::clamp(share, kMinOutlierShare, kMaxOutlierShare);
  }
  // A jump beyond what the numbers hold (a rate or mean overflowing) lands on `like` instead.
  auto finite = [](const std::vector<double>& v) {
    return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
  };
  if (!finite(m.means) || !finite(m.spreads) || !finite(m.transition) || !finite(m.rates)) {
    return like;
  }
  return m;
}

std::vector<double> extrapolated(const std::vector<double>& theta0,
                                 const std::vector<double>& theta1,
                                 const std::vector<double>& theta2) {
  const std::size_t n = theta0.size();
  double rr = 0, vv = 0;
  std::vector<double> r(n), v(n);
  for (std::size_t i = 0; i < n; ++i) {
    r[i] = theta1[i] - theta0[i];
    v[i] = theta2[i] - 2 * theta1[i] + theta0[i];
    rr += r[i] * r[i];
    vv += v[i] * v[i];
  }
  if (!(vv > 0) || !std::isfinite(rr + vv)) return theta2;
  const double a = std::clamp(-std::sqrt(rr / vv), kLongestStep, -1.0);
  std::vector<double> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = theta0[i] - 2 * a * r[i] + a * a * v[i];
  return out;
}

}  // namespace lumetra::hmmdetail
