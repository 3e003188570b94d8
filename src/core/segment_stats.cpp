#include "segment_stats.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "reductions.hpp"

namespace lumetra {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::span<const double> segment(std::span<const double> data, const Partition& p) {
  const SliceBounds b = sliceBounds(p.start, p.end, data.size());
  return data.subspan(b.begin, b.end - b.begin);
}

bool anyNaN(std::span<const double> x) {
  return std::any_of(x.begin(), x.end(), [](double v) { return std::isnan(v); });
}

bool allFinite(std::span<const double> x) {
  return std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); });
}

std::vector<double> diff(std::span<const double> x) {
  std::vector<double> out;
  if (x.size() < 2) return out;
  out.resize(x.size() - 1);
  for (std::size_t i = 0; i + 1 < x.size(); ++i) out[i] = x[i + 1] - x[i];
  return out;
}

// Position of the first largest (or smallest) value.  numpy takes the first NaN as the extremum;
// pandas fills NaN with the value that can never win (-inf for a maximum) and refuses a stretch
// of NaN only.
std::size_t argExtremum(std::span<const double> x, bool largest, NaNRule rule) {
  if (rule == NaNRule::propagate) {
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (std::isnan(x[i])) return i;
    }
  } else if (!x.empty() &&
             std::all_of(x.begin(), x.end(), [](double v) { return std::isnan(v); })) {
    throw AllNaNHalf("Encountered all NA values");
  }
  const double fill = largest ? -kInf : kInf;
  std::size_t best = 0;
  double bestValue = std::isnan(x[0]) ? fill : x[0];
  for (std::size_t i = 1; i < x.size(); ++i) {
    const double v = std::isnan(x[i]) ? fill : x[i];
    if (largest ? v > bestValue : v < bestValue) {
      best = i;
      bestValue = v;
    }
  }
  return best;
}

// numpy's fit of points that share one x: the domain [a - 1, a + 1] is mapped to [-1, 1], which
// puts every point at (nearly) the same mapped t, and the two columns [1, t] of the scaled design
// matrix are parallel.  The least-squares solver then returns the minimum-norm solution.
LineSlope sharedXSlope(double a, std::span<const double> y) {
  const double lo = a - 1.0;
  const double hi = a + 1.0;
  if (lo == hi) throw FitNotSolvable("SVD did not converge in Linear Least Squares");
  const double oldLen = hi - lo;
  const double off = (hi * -1.0 - lo * 1.0) / oldLen;
  const double scl = 2.0 / oldLen;
  const double t = off + scl * a;
  if (!allFinite(y)) return {kNaN, true};
  if (t == 0) throw FitWithoutSlope("the fitted line has no slope coefficient");

  const auto n = static_cast<double>(y.size());
  // Column norms as numpy computes them; a norm that underflows to 0 counts as 1.
  const double normOnes = std::sqrt(n);
  std::vector<double> squares(y.size(), t * t);
  double normT = std::sqrt(pairwiseSum(squares));
  if (normT == 0) normT = 1.0;
  const double a1 = 1.0 / normOnes;
  const double a2 = t / normT;
  // Minimum-norm solution of [a1 a2] c = y with both columns constant: c is proportional to
  // (a1, a2), fixed by the projection of y on the common direction.
  const double slope = a2 * pairwiseSum(y) / (n * (a1 * a1 + a2 * a2)) / normT * scl;
  if (slope == 0) throw FitWithoutSlope("the fitted line has no slope coefficient");
  return {slope, true};
}

}  // namespace

SliceBounds sliceBounds(std::ptrdiff_t start, std::ptrdiff_t stop, std::size_t length) {
  const auto n = static_cast<std::ptrdiff_t>(length);
  auto clip = [n](std::ptrdiff_t i) {
    if (i < 0) i += n;
    return std::clamp<std::ptrdiff_t>(i, 0, n);
  };
  const std::ptrdiff_t begin = clip(start);
  const std::ptrdiff_t end = std::max(begin, clip(stop));
  return {static_cast<std::size_t>(begin), static_cast<std::size_t>(end)};
}

std::vector<double> movingVariance(std::span<const double> data, std::size_t frameCount,
                                   std::ptrdiff_t windowsLen, NaNRule rule) {
  if (windowsLen < 1) throw std::invalid_argument("the window length must be at least 1");
  if (frameCount > data.size()) {
    throw std::invalid_argument("the frame axis is longer than the data");
  }
  const auto width = static_cast<std::size_t>(windowsLen);
  std::vector<double> out;
  if (frameCount < width) return out;
  out.resize(frameCount - width + 1);
  // Without NaN, skipping NaN changes nothing, and the plain variance gives the same bits.
  if (rule == NaNRule::propagate || !anyNaN(data.first(frameCount))) {
    windowVariances(data.first(frameCount), width, out);
    return out;
  }
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = nanVariance(data.subspan(i, width));
  return out;
}

double centralMoment(std::span<const double> x, long long order) {
  if (x.empty() || anyNaN(x)) return kNaN;
  if (order == 0) return 1.0;
  if (order == 1) return 0.0;

  // Exponents of the squaring chain, from `order` down to 1 or 2.
  std::vector<long long> chain{order};
  for (long long current = order; current > 2;) {
    current = current % 2 != 0 ? (current - 1) / 2 : current / 2;
    chain.push_back(current);
  }
  const double m = mean(x);
  std::vector<double> deviation(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) deviation[i] = x[i] - m;
  std::vector<double> power(deviation);
  if (chain.back() != 1) {
    for (double& v : power) v = v * v;
  }
  for (std::size_t k = chain.size() - 1; k-- > 0;) {
    const bool odd = chain[k] % 2 != 0;
    for (std::size_t i = 0; i < power.size(); ++i) {
      power[i] = power[i] * power[i];
      if (odd) power[i] *= deviation[i];
    }
  }
  return mean(power);
}

bool momentLosesPrecision(std::span<const double> x) {
  if (x.size() < 2 || anyNaN(x)) return false;
  const double m = mean(x);
  double largest = 0.0;
  for (double v : x) largest = std::max(largest, std::abs(v - m));
  return largest / std::abs(m) < std::numeric_limits<double>::epsilon() * 10;
}

std::vector<double> segmentMoments(std::span<const double> data,
                                   std::span<const Partition> partitions, long long order) {
  std::vector<double> out;
  out.reserve(partitions.size());
  for (const Partition& p : partitions) out.push_back(centralMoment(segment(data, p), order));
  return out;
}

std::vector<double> segmentStd(std::span<const double> data, std::span<const Partition> partitions,
                               NaNRule rule) {
  std::vector<double> out;
  out.reserve(partitions.size());
  for (const Partition& p : partitions) {
    const auto values = segment(data, p);
    out.push_back(std::sqrt(rule == NaNRule::skip ? nanVariance(values) : variance(values)));
  }
  return out;
}

std::vector<double> segmentMeans(std::span<const double> data,
                                 std::span<const Partition> partitions, NaNRule rule) {
  std::vector<double> out;
  out.reserve(partitions.size());
  for (const Partition& p : partitions) {
    const auto values = segment(data, p);
    out.push_back(rule == NaNRule::skip ? nanMean(values) : mean(values));
  }
  return out;
}

DerivativeTerms derivativeTerms(std::span<const double> frames, std::span<const double> data,
                                std::ptrdiff_t n) {
  if (n < 0) throw std::invalid_argument("order must be non-negative but got " + std::to_string(n));
  DerivativeTerms terms{{data.begin(), data.end()}, diff(frames)};
  for (std::ptrdiff_t k = 0; k < n && !terms.differences.empty(); ++k) {
    terms.differences = diff(terms.differences);
  }
  if (n > 1) {
    const auto drop = static_cast<std::size_t>(n - 1);
    terms.steps.resize(terms.steps.size() > drop ? terms.steps.size() - drop : 0);
  }
  return terms;
}

std::vector<double> divideBroadcast(std::span<const double> a, std::span<const double> b) {
  if (a.size() != b.size() && a.size() != 1 && b.size() != 1) {
    throw std::invalid_argument("operands could not be broadcast together with shapes (" +
                                std::to_string(a.size()) + ",) (" + std::to_string(b.size()) +
                                ",) ");
  }
  const std::size_t n = a.size() == 1 ? b.size() : a.size();
  std::vector<double> out(n);
  for (std::size_t k = 0; k < n; ++k) out[k] = a[a.size() == 1 ? 0 : k] / b[b.size() == 1 ? 0 : k];
  return out;
}

std::vector<double> derivative(std::span<const double> frames, std::span<const double> data,
                               std::ptrdiff_t n) {
  const DerivativeTerms terms = derivativeTerms(frames, data, n);
  return divideBroadcast(terms.differences, terms.steps);
}

std::vector<double> integralRange(std::span<const double> x, std::ptrdiff_t i0, std::ptrdiff_t i1,
                                  std::span<const double> y, std::ptrdiff_t halfWinLen) {
  const auto steps = static_cast<std::ptrdiff_t>(x.size() < 2 ? 0 : x.size() - 1);
  const auto leny = static_cast<std::ptrdiff_t>(y.size());
  // The item of y and the step of x that position i uses; both rise with i.
  auto itemAt = [leny](std::ptrdiff_t i) { return i >= leny ? leny - 1 : i; };
  auto stepAt = [halfWinLen](std::ptrdiff_t at, std::ptrdiff_t& step) {
    return !__builtin_add_overflow(at, halfWinLen, &step);
  };
  auto usable = [&](std::ptrdiff_t i) {
    std::ptrdiff_t step = 0;
    const std::ptrdiff_t at = itemAt(i);
    return at >= 0 && stepAt(at, step) && step >= 0 && step < steps;
  };
  std::vector<double> out;
  // With the first and the last position usable, all are, and the length is known; otherwise
  // the loop stops at the first unusable one before it allocates much.
  if (i1 > i0 && usable(i0) && usable(i1 - 1)) out.reserve(static_cast<std::size_t>(i1 - i0));
  double integral = 0.0;
  for (std::ptrdiff_t i = i0; i < i1; ++i) {
    const std::ptrdiff_t at = itemAt(i);
    std::ptrdiff_t step = 0;
    if (!stepAt(at, step)) {
      throw std::out_of_range("frame step " + std::to_string(at) + " + " +
                              std::to_string(halfWinLen) + " is outside the index range");
    }
    if (step < 0 || step >= steps) {
      throw std::out_of_range("frame step " + std::to_string(step) + " is outside the " +
                              std::to_string(steps) + " steps of x");
    }
    if (at < 0) {
      throw std::out_of_range("position " + std::to_string(at) + " is outside y");
    }
    const auto s = static_cast<std::size_t>(step);
    integral = integral + (x[s + 1] - x[s]) * y[static_cast<std::size_t>(at)];
    out.push_back(integral);
  }
  return out;
}

LineSlope lineSlope(std::span<const double> x, std::span<const double> y) {
  if (x.size() != y.size()) throw FitLengthError("expected x and y to have same length");
  if (x.empty()) throw std::invalid_argument("a line fit needs at least one point");
  if (!allFinite(x)) throw FitNotSolvable("SVD did not converge in Linear Least Squares");
  const auto [lo, hi] = std::minmax_element(x.begin(), x.end());
  if (*lo == *hi) return sharedXSlope(*lo, y);
  if (!allFinite(y)) return {kNaN, false};
  // numpy's solution for an all-zero y is exactly zero, and a zero slope coefficient is dropped.
  if (std::all_of(y.begin(), y.end(), [](double v) { return v == 0; })) {
    throw FitWithoutSlope("the fitted line has no slope coefficient");
  }

  // Centre both coordinates and scale x to about [-1, 1] (halving first keeps the range finite),
  // so neither the sums nor the squares overflow or cancel.
  const double scale = *hi / 2 - *lo / 2;
  const double xMean = mean(x);
  const double yMean = mean(y);
  std::vector<double> sxy(x.size());
  std::vector<double> sxx(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double u = (x[i] - xMean) / scale;
    sxy[i] = u * (y[i] - yMean);
    sxx[i] = u * u;
  }
  return {pairwiseSum(sxy) / pairwiseSum(sxx) / scale, false};
}

std::optional<SlopeRatio> middleThirdSlopeRatio(std::span<const double> x,
                                                std::span<const double> y, NaNRule extrema) {
  const std::size_t n = x.size();
  const std::size_t span = n / 3;
  const std::size_t halfspan = n / 2;
  if (span < 2) return std::nullopt;
  // The middle thirds have equal lengths exactly when x and y do.
  if (y.size() != n) throw FitLengthError("expected x and y to have same length");

  const LineSlope fit = lineSlope(x.subspan(span, n - 2 * span), y.subspan(span, n - 2 * span));
  const std::size_t i0 = argExtremum(y.first(halfspan), true, extrema);
  const std::size_t i1 = halfspan + argExtremum(y.subspan(halfspan), false, extrema);
  SlopeRatio out{};
  out.slope = fit.slope;
  out.rankDeficient = fit.rankDeficient;
  out.chordRise = y[i1] - y[i0];
  out.chordRun = x[i1] - x[i0];
  out.chordSlope = out.chordRise / out.chordRun;
  out.ratio = out.slope / out.chordSlope;
  return out;
}

}  // namespace lumetra
