// Sums, means and variances that give the same bits as numpy and pandas: numpy sums a
// contiguous array pairwise in blocks of eight, and pandas' skip-NaN reductions run the
// same sum with every NaN replaced by zero.
#pragma once

#include <cstddef>
#include <span>

namespace lumetra {

// numpy.add.reduce on a contiguous float64 array.
double pairwiseSum(std::span<const double> x);

// The number of non-NaN values.
std::size_t countNotNaN(std::span<const double> x);

// numpy.mean / numpy.var (population): NaN propagates; NaN for an empty span.
double mean(std::span<const double> x);
double variance(std::span<const double> x);

// variance(x[i:i + width]) for every i < out.size(), bit for bit, sharing the work that
// overlapping windows have in common.  Requires out.size() + width - 1 <= x.size().
void windowVariances(std::span<const double> x, std::size_t width, std::span<double> out);

// pandas Series.mean() / Series.var(ddof=0): NaN values are left out; NaN when none is left.
double nanMean(std::span<const double> x);
double nanVariance(std::span<const double> x);

}  // namespace lumetra
