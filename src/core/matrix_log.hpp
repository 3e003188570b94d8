// The rate matrix behind a transition matrix between frames: P = exp(Q dt), so Q = log(P) / dt,
// with the principal matrix logarithm. Small dense matrices, row-major, k x k.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace lumetra {

// exp(A) by scaling and squaring of a Taylor series; NaN throughout when an entry of A is not
// finite. Throws std::invalid_argument when the size is not k * k.
std::vector<double> matrixExp(std::span<const double> a, std::size_t k);

// The principal logarithm of A by inverse scaling and squaring: square roots (Denman-Beavers)
// until A is near the identity, then the series of log(I + X). Nothing when A has no real
// principal logarithm (an eigenvalue on the closed negative real axis, e.g. a singular A, or
// the square roots do not converge). Throws std::invalid_argument when the size is not k * k.
std::optional<std::vector<double>> matrixLog(std::span<const double> a, std::size_t k);

// Q = log(P) / frameTime for a transition matrix P between frames; nothing as for matrixLog.
// Off-diagonal entries are the rate constants (per unit of frameTime), rows sum to zero. A P
// estimated from data need not be the exponential of any rate matrix (a rare transition seen
// through noise gives its logarithm negative off-diagonal entries, and no rate is negative): Q
// is then the nearest valid one (Israel, Rosenthal and Wei 2001), those entries set to zero and
// each diagonal entry the negative sum of the others in its row. Throws std::invalid_argument
// for frameTime <= 0 or a size other than k * k.
std::optional<std::vector<double>> rateMatrix(std::span<const double> transition, std::size_t k,
                                              double frameTime);

}  // namespace lumetra
