// Statistics of a trace around and between candidate transitions: the moving variance, the
// spread and central moments of segments, the discrete derivative, the running integral over a
// pair, and the slope ratio of a pair's middle third.
//
// Results follow numpy's arithmetic (pairwise sums, population statistics) so they agree with
// numpy bit for bit where the operations are the same.  Where a reduction of a pandas Series
// would skip NaN, the functions take a NaNRule.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "pairs.hpp"

namespace lumetra {

enum class NaNRule {
  propagate,  // numpy arrays and lists: one NaN makes the result NaN
  skip,       // pandas Series: NaN values are left out
};

// The part [begin, end) of a sequence of `length` items that Python's x[start:stop] selects:
// negative bounds count from the end, both are clipped to the sequence, and stop <= start is
// empty (begin == end).
struct SliceBounds {
  std::size_t begin;
  std::size_t end;
};
SliceBounds sliceBounds(std::ptrdiff_t start, std::ptrdiff_t stop, std::size_t length);

// numpy.var (population) of each window data[i:i + windowsLen], for i = 0 .. frameCount -
// windowsLen; empty when frameCount < windowsLen.  Requires windowsLen >= 1 and frameCount <=
// data.size(), so every window is whole (throws std::invalid_argument otherwise).
std::vector<double> movingVariance(std::span<const double> data, std::size_t frameCount,
                                   std::ptrdiff_t windowsLen, NaNRule rule);

// scipy.stats.moment(x, order): the order-th central moment, by scipy's exponentiation by
// squaring.  Order 0 gives 1 and order 1 gives 0; every order below 3 other than these two gives
// the variance.  NaN when x is empty or holds NaN.
double centralMoment(std::span<const double> x, long long order);

// True where scipy warns of catastrophic cancellation for a moment of x: at least two samples,
// no NaN, and every deviation from the mean below 10 machine epsilons of the mean.
bool momentLosesPrecision(std::span<const double> x);

// centralMoment of each segment data[start:end] (Python slice bounds; empty segments give NaN).
std::vector<double> segmentMoments(std::span<const double> data,
                                   std::span<const Partition> partitions, long long order);

// numpy.std (population) of each segment data[start:end]; NaN for an empty segment.
std::vector<double> segmentStd(std::span<const double> data, std::span<const Partition> partitions,
                               NaNRule rule);

// numpy.mean of each segment data[start:end]; NaN for an empty segment.
std::vector<double> segmentMeans(std::span<const double> data,
                                 std::span<const Partition> partitions, NaNRule rule);

// The two operands of the discrete derivative: numpy.diff(data, n), and numpy.diff(frames)
// without its last n - 1 entries (all of it for n <= 1).  Order 0 leaves data as it is; a
// negative order throws std::invalid_argument.
struct DerivativeTerms {
  std::vector<double> differences;
  std::vector<double> steps;
};
DerivativeTerms derivativeTerms(std::span<const double> frames, std::span<const double> data,
                                std::ptrdiff_t n);

// a / b element by element, a length-1 operand standing for every element (numpy's
// broadcasting); other unequal lengths throw std::invalid_argument.
std::vector<double> divideBroadcast(std::span<const double> a, std::span<const double> b);

// differences / steps of derivativeTerms: element k is the n-th difference at k over the single
// frame step frames[k + 1] - frames[k].
std::vector<double> derivative(std::span<const double> frames, std::span<const double> data,
                               std::ptrdiff_t n);

// The running rectangle-rule integral of y over window positions i0 .. i1 - 1:
// sum of (x[i + 1 + halfWinLen] - x[i + halfWinLen]) * y[i], one entry per position.  Positions
// past the end of y reuse its last value and step.  Throws std::out_of_range when a position
// needs an item outside y or outside the steps of x, checked before anything is allocated, and
// std::bad_alloc for a range longer than a vector can hold.
std::vector<double> integralRange(std::span<const double> x, std::ptrdiff_t i0, std::ptrdiff_t i1,
                                  std::span<const double> y, std::ptrdiff_t halfWinLen);

// x and y of a line fit differ in length.
class FitLengthError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A non-finite x (or an x so large that numpy cannot widen a one-point domain) leaves the
// least-squares problem without a solution; numpy's solver reports that it did not converge.
class FitNotSolvable : public std::domain_error {
 public:
  using std::domain_error::domain_error;
};

// The fitted line has an exactly zero slope where numpy's would too, so it has no slope
// coefficient at all: every y is 0, or every x is the same and numpy's mapped x is exactly 0.
// (Elsewhere numpy's slope for data without a trend is a rounding residue that may or may not
// be exactly 0; the closed form returns its own value there.)
class FitWithoutSlope : public std::domain_error {
 public:
  using std::domain_error::domain_error;
};

// Every value of a half of y is NaN, so a Series has no extremum to take.
class AllNaNHalf : public std::domain_error {
 public:
  using std::domain_error::domain_error;
};

struct LineSlope {
  double slope;
  bool rankDeficient;  // every x equal: numpy warns that the fit may be poorly conditioned
};

// The slope of the least-squares straight line through (x, y), as
// numpy.polynomial.Polynomial.fit(x, y, 1).convert().coef[1] gives it: closed form with x
// centred and scaled; NaN when a y is not finite.  When every x is equal, numpy widens the
// domain by one on each side; this follows the same arithmetic and returns the minimum-norm
// solution of the rank-deficient problem.  Throws FitLengthError, FitNotSolvable or
// FitWithoutSlope as described above; x must not be empty.
LineSlope lineSlope(std::span<const double> x, std::span<const double> y);

struct SlopeRatio {
  double slope;        // least-squares slope of the middle third
  double chordRise;    // y at the second half's minimum minus y at the first half's maximum
  double chordRun;     // the same difference of x
  double chordSlope;   // chordRise / chordRun
  double ratio;        // slope / chordSlope
  bool rankDeficient;  // see LineSlope
};

// The slope of the middle third of (x, y) (span = len(x) / 3 points dropped at each end), and its
// ratio to the chord from the largest y of the first half to the smallest y of the second half
// (halves split at len(x) / 2; the first occurrence wins on ties).  Nothing when x has fewer than
// 6 points.  `extrema` says how NaN in y is treated when looking for the extrema: propagate takes
// the first NaN as numpy does, skip leaves NaN out as pandas does and throws AllNaNHalf when a
// half has nothing else.  Divisions follow IEEE rules (inf or NaN, no exception).
std::optional<SlopeRatio> middleThirdSlopeRatio(std::span<const double> x,
                                                std::span<const double> y, NaNRule extrema);

}  // namespace lumetra
