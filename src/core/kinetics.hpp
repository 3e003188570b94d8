// Kinetics from idealised traces: grouping fitted levels into states, the dwell times of each
// state, and maximum-likelihood exponential fits of the dwell-time distributions.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace lumetra {

struct LevelClusters {
  std::vector<double> centres;      // ascending
  std::vector<std::size_t> labels;  // for each value, the index of its centre
};

// Weighted one-dimensional k-means of `values`: starts from the weighted quantiles
// (i + 1/2) / k and moves each centre to the weighted mean of its values until no label changes.
// Values and weights must be finite, weights > 0, and 1 <= k <= the number of distinct values.
LevelClusters clusterLevels(std::span<const double> values, std::span<const double> weights,
                            std::size_t k);

struct Dwell {
  double level;     // the value held during the dwell
  double duration;  // time from the frame it starts at to the frame the next one starts at
};

// The complete dwells of one idealised trace: runs of equal values (exact equality) with a
// transition at both ends. The first run, which began before the recording, and the last, which
// the recording cuts off, are left out. `time` holds the time of each frame, ascending.
std::vector<Dwell> completeDwells(std::span<const double> levels, std::span<const double> time);

struct RateFit {
  double rate;   // maximum-likelihood rate constant, in 1 / unit of the dwell times
  double lower;  // exact confidence interval (chi-square)
  double upper;
  std::size_t count;     // dwells used: those of at least `shortest`
  double logLikelihood;  // at the estimate
};

// Single exponential fit of the dwells of at least `shortest` (>= 0), shifted by `shortest`, so
// that dwells too short to be detected do not bias the rate: rate = count / sum(t - shortest),
// 2 * rate_true * sum ~ chi-square with 2 * count degrees of freedom gives the interval.
// Throws std::invalid_argument when no dwell is left or all of them equal `shortest`.
RateFit fitSingleExponential(std::span<const double> dwells, double shortest = 0,
                             double confidence = 0.95);

struct DoubleExponentialFit {
  double fraction;  // weight of the first component, in (0, 1)
  RateFit fast;     // the faster component, then the slower one; count is that of all dwells
  RateFit slow;
  double fractionLower;
  double fractionUpper;
  double logLikelihood;
  int iterations;
};

// Mixture of two exponentials fitted by maximum likelihood (expectation-maximisation from a
// split of the dwells at their median), on the same shifted dwells as above. The intervals are
// Wald intervals on log rates and on the logit of the fraction, from the observed information.
// Throws std::invalid_argument for fewer than 4 dwells.
DoubleExponentialFit fitDoubleExponential(std::span<const double> dwells, double shortest = 0,
                                          double confidence = 0.95);

}  // namespace lumetra
