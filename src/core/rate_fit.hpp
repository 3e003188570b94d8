// The rate matrix that best explains counted transitions between frames: the Q maximising
// sum_ij n_ij log [exp(Q)]_ij, so that the transition matrix between frames is exactly the
// exponential of a valid rate matrix, with some rates held at zero (a chain, a ring, any given
// topology). Small dense matrices, row-major, k x k; rates per frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lumetra {

struct RateFitOptions {
  int maxIterations = 200;   // quasi-Newton steps at most
  double tolerance = 1e-12;  // stop when a step gains less than this times the counts' total
  double minRate = 1e-10;    // free rates never fall below this (per frame)
  double maxRate = 1e3;      // nor rise above this
};

// The fitted Q: free[i * k + j] != 0 marks a rate i -> j that may be non-zero (the diagonal is
// ignored), every other off-diagonal entry is 0 and each diagonal entry minus the sum of its
// row. `counts`: expected transitions i -> j (>= 0); `start`: the rates to start from (its free
// entries clamped into [minRate, maxRate]). The log-likelihood is maximised over the logarithms
// of the free rates by BFGS, the gradient from the Frechet derivative of the exponential.
// Throws std::invalid_argument for sizes other than k * k, k = 0 or negative counts.
std::vector<double> fitRates(std::span<const double> counts, std::span<const std::uint8_t> free,
                             std::span<const double> start, std::size_t k,
                             const RateFitOptions& options = {});

// sum_ij counts_ij log [exp(Q)]_ij (terms with a zero count left out).
double rateLogLikelihood(std::span<const double> counts, std::span<const double> rates,
                         std::size_t k);

// The transition matrix between frames of a rate matrix per frame: exp(Q), rows made to sum to
// 1 exactly and entries below zero (rounding) set to zero.
std::vector<double> transitionOfRates(std::span<const double> rates, std::size_t k);

}  // namespace lumetra
