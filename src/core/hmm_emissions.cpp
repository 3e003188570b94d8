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

// Densities given relative to exp(top) (at most a few times 1) mixed with the outlier term:
// each becomes (1 - share) d + share density, relative to the factor returned; `outlier` gets
// the term's part. Far from every level the outlier term is the largest and the Gaussian parts
// fall to 0 without overflow; near a level it is the term that underflows.
double withOutliers(const HmmModel& m, double top, std::span<double> pure, std::span<double> mix,
                    double* outlier) {
  const double inlierLog = top + std::log1p(-m.outlierShare);
  const double outlierLog = std::log(m.outlierShare * m.outlierDensity);
  const double factor = std::max(inlierLog, outlierLog);
  const double inlier = std::exp(inlierLog - factor), flat = std::exp(outlierLog - factor);
  for (double& v : pure) v = inlier * v + flat;
  for (double& v : mix) v = inlier * v + flat;
  if (outlier != nullptr) *outlier = flat;
  return factor;
}

double missing(std::span<double> pure, std::span<double> mix, double* outlier) {
  std::fill(pure.begin(), pure.end(), 1.0);
  std::fill(mix.begin(), mix.end(), 1.0);
  if (outlier != nullptr) *outlier = 0;
  return 0;
}

double noOutliers(double top, double* outlier) {
  if (outlier != nullptr) *outlier = 0;
  return top;
}

}  // namespace

double emissions(double x, const HmmModel& m, std::span<double> out, double scale,
                 double* outlier) {
  const std::size_t k = m.states();
  if (std::isnan(x)) return missing(out, {}, outlier);
  double top = -std::numeric_limits<double>::infinity();
  for (std::size_t s = 0; s < k; ++s) {
    const double spread = m.spreads[s] * scale;
    const double z = (x - m.means[s]) / spread;
    out[s] = -0.5 * z * z - std::log(spread) - kLogRootTwoPi;
    top = std::max(top, out[s]);
  }
  for (std::size_t s = 0; s < k; ++s) out[s] = std::exp(out[s] - top);
  if (m.outlierDensity > 0) return withOutliers(m, top, out, {}, outlier);
  return noOutliers(top, outlier);
}

namespace {

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
// `zb`: (x - a) / spread and (x - b) / spread; `ua`, `la`, `ub`, `lb` their tails. With `top`
// above kLinearFloor, the density times exp(-top) instead (no logarithm needed).
double mixDensity(double za, double zb, double ua, double la, double ub, double lb, double spread,
                  double top, bool linear) {
  if (za < zb) {
    std::swap(za, zb);
    std::swap(ua, ub);
    std::swap(la, lb);
  }
  if (!(za - zb > 1e-6)) {
    const double logPure = -0.5 * za * za - std::log(spread) - kLogRootTwoPi;
    return linear ? std::exp(logPure - top) : logPure;
  }
  const double mass = std::max(massBetween(ua, la, ub, lb, za, zb), 0.0);
  if (linear) return mass / ((za - zb) * spread) * std::exp(-top);
  return std::log(mass) - std::log((za - zb) * spread);
}

}  // namespace

double blurEmissions(double x, const HmmModel& m, std::span<double> pure, std::span<double> mix,
                     std::span<double> scratch, double scale, double* outlier) {
  const std::size_t k = m.states();
  if (std::isnan(x)) return missing(pure, mix, outlier);
  const bool shared =
      std::all_of(m.spreads.begin(), m.spreads.end(), [&](double v) { return v == m.spreads[0]; });
  auto spreadOf = [&](std::size_t s) { return m.spreads[s] * scale; };
  const auto z = scratch.subspan(0, k), upper = scratch.subspan(k, k),
             lower = scratch.subspan(2 * k, k);
  double top = -std::numeric_limits<double>::infinity();
  const double sharedLog = std::log(spreadOf(0));
  for (std::size_t s = 0; s < k; ++s) {
    z[s] = (x - m.means[s]) / spreadOf(s);
    const double logSpread = shared ? sharedLog : std::log(spreadOf(s));
    pure[s] = -0.5 * z[s] * z[s] - logSpread - kLogRootTwoPi;
    top = std::max(top, pure[s]);
    if (shared) tails(z[s], upper[s], lower[s]);
  }
  const bool linear = top > kLinearFloor;
  for (std::size_t r = 0; r < k; ++r) {
    mix[r * k + r] = linear ? 0.0 : -std::numeric_limits<double>::infinity();
    for (std::size_t s = r + 1; s < k; ++s) {
      double v = 0;
      if (shared) {
        v = mixDensity(z[r], z[s], upper[r], lower[r], upper[s], lower[s], spreadOf(0), top,
                       linear);
      } else {  // the mix seen through the mean of the two spreads
        const double spread = 0.5 * (spreadOf(r) + spreadOf(s));
        const double zr = (x - m.means[r]) / spread, zs = (x - m.means[s]) / spread;
        double ur = 0, lr = 0, us = 0, ls = 0;
        tails(zr, ur, lr);
        tails(zs, us, ls);
        v = mixDensity(zr, zs, ur, lr, us, ls, spread, top, linear);
      }
      mix[r * k + s] = mix[s * k + r] = v;
    }
  }
  if (!linear) {  // a frame far from every level: everything relative to the largest
    for (double v : mix) top = std::max(top, v);
    for (double& v : mix) v = std::exp(v - top);
  }
  for (double& v : pure) v = std::exp(v - top);
  if (m.outlierDensity > 0) return withOutliers(m, top, pure, mix, outlier);
  return noOutliers(top, outlier);
}

}  // namespace lumetra
