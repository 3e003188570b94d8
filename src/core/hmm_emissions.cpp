#include "hmm_emissions.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace lumetra {

namespace {

constexpr double kLogRootTwoPi = 0.91893853320467274178;  // log(sqrt(2 pi))
// While the largest pure log-density is above this (the frame lies within about 14 spreads of
// a level), every density times exp(-top) stays finite and the mixes need no logarithm.
constexpr double kLinearFloor = -100;

double missing(std::span<double> pure, std::span<double> mix, double* outlier) {
  std::fill(pure.begin(), pure.end(), 1.0);
  std::fill(mix.begin(), mix.end(), 1.0);
  if (outlier != nullptr) *outlier = 0;
  return 0;
}

// exp(v), exactly 1 for v = 0 without calling exp.
double expOrOne(double v) { return v == 0 ? 1.0 : std::exp(v); }

// Phi(z) - Phi(w) for z >= w, from the tails on the side of x so that far frames keep their
// precision; upper[s] = 1 - Phi(z_s) and lower[s] = Phi(z_s) of the two standardised distances.
double massBetween(double upperZ, double lowerZ, double upperW, double lowerW, double z, double w) {
  if (w > 0) return upperW - upperZ;
  if (z < 0) return lowerZ - lowerW;
  return 1 - upperZ - lowerW;
}

// Both tails of the standard normal at z, the smaller one exactly.
void tails(double z, double& upper, double& lower) {
  if (z > 0) {
    upper = 0.5 * std::erfc(z / std::numbers::sqrt2);
    lower = 1 - upper;
  } else {
    lower = 0.5 * std::erfc(-z / std::numbers::sqrt2);
    upper = 1 - lower;
  }
}

// The log of the probability density that a change between levels a and b mixed into one
// frame reads as x: the mean of N(x; f a + (1 - f) b, spread) over f uniform in [0, 1]. `za`,
// `zb`: (x - a) / spread and (x - b) / spread; `ua`, `la`, `ub`, `lb` their tails. When
// `linear` (top above kLinearFloor), the density times exp(-top) instead (no logarithm needed;
// `expTop` = exp(-top)).
struct Spread {
  double value, log;
};
double mixDensity(double za, double zb, double ua, double la, double ub, double lb, Spread spread,
                  double top, double expTop, bool linear) {
  if (za < zb) {
    std::swap(za, zb);
    std::swap(ua, ub);
    std::swap(la, lb);
  }
  if (!(za - zb > 1e-6)) {
    const double logPure = -0.5 * za * za - spread.log - kLogRootTwoPi;
    return linear ? std::exp(logPure - top) : logPure;
  }
  const double mass = std::max(massBetween(ua, la, ub, lb, za, zb), 0.0);
  if (linear) return mass / ((za - zb) * spread.value) * expTop;
  return std::log(mass) - std::log((za - zb) * spread.value);
}

}  // namespace

TraceEmissions::TraceEmissions(const HmmModel& m, double scale)
    : k_(m.states()),
      sharedSpread_(std::all_of(m.spreads.begin(), m.spreads.end(),
                                [&](double v) { return v == m.spreads[0]; })),
      outliers_(m.outlierDensity > 0),
      groupOf_(k_) {
  std::vector<double> rawSpread;
  for (std::size_t s = 0; s < k_; ++s) {
    std::size_t g = 0;
    while (g < groups_ && !(mean_[g] == m.means[s] && rawSpread[g] == m.spreads[s])) ++g;
    groupOf_[s] = g;
    if (g < groups_) continue;
    ++groups_;
    mean_.push_back(m.means[s]);
    rawSpread.push_back(m.spreads[s]);
    spread_.push_back(m.spreads[s] * scale);
    logSpread_.push_back(std::log(spread_.back()));
  }
  const std::size_t g = groups_;
  pairSpread_.resize(g * g);
  pairLogSpread_.resize(g * g);
  for (std::size_t a = 0; a < g; ++a) {
    for (std::size_t b = 0; b < g; ++b) {
      pairSpread_[a * g + b] = 0.5 * (spread_[a] + spread_[b]);  // the mean of the two
      pairLogSpread_[a * g + b] = std::log(pairSpread_[a * g + b]);
    }
  }
  if (outliers_) {
    inlierLog_ = std::log1p(-m.outlierShare);
    outlierLog_ = std::log(m.outlierShare * m.outlierDensity);
  }
  z_.resize(g);
  upper_.resize(g);
  lower_.resize(g);
  weight_.resize(g);
  mix_.resize(g * g);
}

// With the outlier term, each weight w (relative to exp(top)) becomes inlier w + flat relative to
// the factor returned. Far from every level the outlier term is the largest and the Gaussian
// parts fall to 0 without overflow; near a level it is the term that underflows.
double TraceEmissions::finish(double top, std::span<double> weight, std::span<double> groupMix,
                              std::span<double> pure, std::span<double> mix,
                              double* outlier) const {
  const std::size_t g = groups_;
  double factor = top, flat = 0;
  if (outliers_) {
    const double inlierLog = top + inlierLog_;
    factor = std::max(inlierLog, outlierLog_);
    const double inlier = expOrOne(inlierLog - factor);
    flat = expOrOne(outlierLog_ - factor);
    for (double& v : weight) v = inlier * v + flat;
    for (double& v : groupMix) v = inlier * v + flat;
  }
  if (outlier != nullptr) *outlier = flat;
  if (weight.data() == pure.data()) return factor;  // written per state already
  for (std::size_t s = 0; s < k_; ++s) pure[s] = weight[groupOf_[s]];
  for (std::size_t i = 0; i < k_ && !mix.empty(); ++i) {
    for (std::size_t j = 0; j < k_; ++j) {
      mix[i * k_ + j] = i == j ? pure[i] : groupMix[groupOf_[i] * g + groupOf_[j]];
    }
  }
  return factor;
}

double TraceEmissions::pure(double x, std::span<double> out, double* outlier) {
  if (std::isnan(x)) return missing(out, {}, outlier);
  // Every state a group of its own (numbered alike): worked out in place.
  const std::span<double> weight = groups_ == k_ ? out : std::span(weight_);
  double top = -std::numeric_limits<double>::infinity();
  for (std::size_t a = 0; a < groups_; ++a) {
    const double z = (x - mean_[a]) / spread_[a];
    weight[a] = -0.5 * z * z - logSpread_[a] - kLogRootTwoPi;
    top = std::max(top, weight[a]);
  }
  for (double& v : weight) v = expOrOne(v - top);
  return finish(top, weight, {}, out, {}, outlier);
}

double TraceEmissions::blurred(double x, std::span<double> pure, std::span<double> mix,
                               double* outlier) {
  if (std::isnan(x)) return missing(pure, mix, outlier);
  const std::size_t g = groups_;
  const bool inPlace = g == k_;  // every state a group of its own, numbered alike
  const std::span<double> weight = inPlace ? pure : std::span(weight_);
  const std::span<double> groupMix = inPlace ? mix : std::span(mix_);
  double top = -std::numeric_limits<double>::infinity();
  for (std::size_t a = 0; a < g; ++a) {
    z_[a] = (x - mean_[a]) / spread_[a];
    weight[a] = -0.5 * z_[a] * z_[a] - logSpread_[a] - kLogRootTwoPi;
    top = std::max(top, weight[a]);
    if (sharedSpread_) tails(z_[a], upper_[a], lower_[a]);
  }
  const bool linear = top > kLinearFloor;
  const double expTop = linear ? std::exp(-top) : 0.0;
  for (std::size_t a = 0; a < g; ++a) {
    for (std::size_t b = a + 1; b < g; ++b) {
      double v = 0;
      if (sharedSpread_) {
        v = mixDensity(z_[a], z_[b], upper_[a], lower_[a], upper_[b], lower_[b],
                       {spread_[0], logSpread_[0]}, top, expTop, linear);
      } else {  // the mix seen through the mean of the two spreads
        const Spread spread{pairSpread_[a * g + b], pairLogSpread_[a * g + b]};
        const double za = (x - mean_[a]) / spread.value, zb = (x - mean_[b]) / spread.value;
        double ua = 0, la = 0, ub = 0, lb = 0;
        tails(za, ua, la);
        tails(zb, ub, lb);
        v = mixDensity(za, zb, ua, la, ub, lb, spread, top, expTop, linear);
      }
      groupMix[a * g + b] = groupMix[b * g + a] = v;
    }
  }
  if (!linear) {  // a frame far from every level: everything relative to the largest
    for (std::size_t a = 0; a < g; ++a) {
      for (std::size_t b = 0; b < g; ++b) {
        if (a != b) top = std::max(top, groupMix[a * g + b]);
      }
    }
    for (std::size_t a = 0; a < g; ++a) {
      for (std::size_t b = 0; b < g; ++b) {
        if (a != b) groupMix[a * g + b] = std::exp(groupMix[a * g + b] - top);
      }
    }
  }
  // States of one group (one mean and spread) mix into their own pure emission.
  for (std::size_t a = 0; a < g; ++a) groupMix[a * g + a] = weight[a] = expOrOne(weight[a] - top);
  return finish(top, weight, groupMix, pure, mix, outlier);
}

double emissions(double x, const HmmModel& m, std::span<double> out, double scale,
                 double* outlier) {
  return TraceEmissions(m, scale).pure(x, out, outlier);
}

double blurEmissions(double x, const HmmModel& m, std::span<double> pure, std::span<double> mix,
                     double scale, double* outlier) {
  return TraceEmissions(m, scale).blurred(x, pure, mix, outlier);
}

}  // namespace lumetra
