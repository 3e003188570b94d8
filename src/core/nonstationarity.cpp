#include "nonstationarity.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <string>
#include <utility>

// The O(1) per-window helpers are forced inline so stream() runs them as one tight loop.
#if defined(__GNUC__) || defined(__clang__)
#define LUMETRA_HOT_INLINE [[gnu::always_inline]] inline
#else
#define LUMETRA_HOT_INLINE inline
#endif

namespace lumetra {
namespace {

// MAD of a Gaussian times this constant estimates its standard deviation.
constexpr double kMadToSigma = 1.4826;

double medianInPlace(std::vector<double>& v) {
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  const double upper = *mid;
  if (v.size() % 2 == 1) return upper;
  const double lower = *std::max_element(v.begin(), mid);
  return 0.5 * (lower + upper);
}

// Exponent e with max|x| * 2^-e in [0.5, 1); 0 for an all-zero input.
int scaleExponent(std::span<const double> finite) {
  double largest = 0.0;
  for (const double x : finite) largest = std::max(largest, std::abs(x));
  int exponent = 0;
  if (largest > 0.0) std::frexp(largest, &exponent);
  return exponent;
}

// The finite samples, in order, multiplied by 2^-exponent.
std::vector<double> scaledFiniteSamples(std::span<const double> samples, int& exponent) {
  std::vector<double> finite;
  finite.reserve(samples.size());
  for (const double x : samples) {
    if (std::isfinite(x)) finite.push_back(x);
  }
  exponent = scaleExponent(finite);
  // Same result as ldexp(x, -exponent), by plain multiplication.  -exponent <= 1023 is one exact
  // factor (down to 2^-1024, a single rounding for results that land among the subnormals); a
  // larger shift only scales up, which is exact in any number of steps.
  int shift = -exponent;
  while (shift != 0) {
    const int step = std::min(shift, 1023);
    const double factor = std::ldexp(1.0, step);
    for (double& x : finite) x *= factor;
    shift -= step;
  }
  return finite;
}

// Noise level of finite samples already scaled to magnitudes below 1 (no overflow possible).
double scaledNoiseSigma(std::span<const double> x) {
  if (x.size() < 2) return 0.0;
  std::vector<double> diffs(x.size() - 1);
  for (std::size_t i = 0; i + 1 < x.size(); ++i) diffs[i] = x[i + 1] - x[i];

  std::vector<double> work(diffs);
  const double centre = medianInPlace(work);
  for (double& w : work) w = std::abs(w - centre);
  const double mad = medianInPlace(work);
  if (mad > 0.0) return kMadToSigma * mad / std::numbers::sqrt2;

  const auto count = static_cast<double>(diffs.size());
  double mean = 0.0;
  for (const double d : diffs) mean += d;
  mean /= count;
  double squares = 0.0;
  for (const double d : diffs) squares += (d - mean) * (d - mean);
  return std::sqrt(squares / count) / std::numbers::sqrt2;
}

double unscale(double scaled, int exponent) {
  const double value = std::ldexp(scaled, exponent);
  return std::isfinite(value) ? value : std::numeric_limits<double>::max();
}

std::ptrdiff_t clampSliceIndex(std::ptrdiff_t index, std::ptrdiff_t size) {
  if (index < 0) {
    index += size;
    return index < 0 ? 0 : index;
  }
  return index > size ? size : index;
}

std::ptrdiff_t saturatingAdd(std::ptrdiff_t a, std::ptrdiff_t b) {
  constexpr auto kMax = std::numeric_limits<std::ptrdiff_t>::max();
  constexpr auto kMin = std::numeric_limits<std::ptrdiff_t>::min();
  if (b > 0 && a > kMax - b) return kMax;
  if (b < 0 && a < kMin - b) return kMin;
  return a + b;
}

double capScore(double score) { return score < kNsScoreCap ? score : kNsScoreCap; }

// Harmonic weight len(left) * len(right) / n, i.e. 1 / (1/len(left) + 1/len(right)).
double splitWeight(std::ptrdiff_t nLeft, std::ptrdiff_t nRight) {
  return static_cast<double>(nLeft) * static_cast<double>(nRight) /
         static_cast<double>(nLeft + nRight);
}

template <typename WindowScore>
void fillWindows(std::span<double> out, std::ptrdiff_t windowsLen, WindowScore&& score) {
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto start = static_cast<std::ptrdiff_t>(i);
    out[i] = score(start, saturatingAdd(start, windowsLen));
  }
}

[[noreturn]] void throwBadAlgo() { throw std::invalid_argument("invalid NsAlgo value"); }

}  // namespace

NsAlgo parseNsAlgo(std::string_view name) {
  if (name == "NSLocaltoGlobal") return NsAlgo::LocalToGlobal;
  if (name == "NSLefttoRight") return NsAlgo::LeftToRight;
  if (name == "NSdichotomy") return NsAlgo::Dichotomy;
  if (name == "NSCircleLefttoRight") return NsAlgo::CircleLeftToRight;
  throw std::invalid_argument("unknown nonstationarity algorithm '" + std::string(name) + "'");
}

double robustNoiseSigma(std::span<const double> samples) {
  int exponent = 0;
  const std::vector<double> finite = scaledFiniteSamples(samples, exponent);
  return unscale(scaledNoiseSigma(finite), exponent);
}

void NonStationary::setupDS(std::ptrdiff_t windowsLen) {
  if (windowsLen < 0) {
    throw std::invalid_argument("window length must be >= 0, got " + std::to_string(windowsLen));
  }
  windowsLen_ = windowsLen;
}

void NonStationary::setData(std::vector<double> samples) {
  data_ = std::move(samples);
  const std::size_t size = data_.size();

  rankBefore_.assign(size + 1, 0);
  for (std::size_t p = 0; p < size; ++p) {
    rankBefore_[p + 1] = rankBefore_[p] + (std::isfinite(data_[p]) ? 1 : 0);
  }

  int exponent = 0;
  finite_ = scaledFiniteSamples(data_, exponent);
  sigmaScaled_ = scaledNoiseSigma(finite_);
  sigma_ = unscale(sigmaScaled_, exponent);
  invSigmaScaled_ = sigmaScaled_ > 0.0 ? 1.0 / sigmaScaled_ : 0.0;

  const std::size_t count = finite_.size();
  runEnd_.assign(count, static_cast<std::ptrdiff_t>(count));
  for (std::size_t k = count; k-- > 1;) {
    if (finite_[k - 1] == finite_[k])
      runEnd_[k - 1] = runEnd_[k];
    else
      runEnd_[k - 1] = static_cast<std::ptrdiff_t>(k);
  }

  // Sums run over deviations from the median: typical samples then lose no digits when the
  // reference is subtracted (a mean can be dragged far off by a few huge outliers, and the small
  // samples would vanish against it).  The error-free two-sum keeps window sums exact to about one
  // rounding of their own size, however large the running sum has grown.
  double reference = 0.0;
  if (count > 0) {
    std::vector<double> work(finite_);
    reference = medianInPlace(work);
  }
  prefix_.assign(count + 1, PrefixSum{0.0, 0.0});
  double hi = 0.0;
  double lo = 0.0;
  for (std::size_t k = 0; k < count; ++k) {
    const double y = finite_[k] - reference;
    const double sum = hi + y;
    const double yPart = sum - hi;
    lo += (hi - (sum - yPart)) + (y - yPart);
    hi = sum;
    prefix_[k + 1] = PrefixSum{hi, lo};
  }
}

const std::vector<double>& NonStationary::data() const noexcept { return data_; }

std::ptrdiff_t NonStationary::windowsLen() const noexcept { return windowsLen_; }

double NonStationary::sigma() const noexcept { return sigma_; }

LUMETRA_HOT_INLINE NonStationary::RankRange NonStationary::finiteRanks(
    std::ptrdiff_t start, std::ptrdiff_t end) const noexcept {
  const auto size = static_cast<std::ptrdiff_t>(data_.size());
  const std::ptrdiff_t first = clampSliceIndex(start, size);
  const std::ptrdiff_t last = clampSliceIndex(end, size);
  if (first >= last) return RankRange{0, 0};
  const auto f = static_cast<std::size_t>(first);
  const auto l = static_cast<std::size_t>(last);
  return RankRange{rankBefore_[f], rankBefore_[l]};
}

LUMETRA_HOT_INLINE bool NonStationary::isFlat(std::ptrdiff_t a, std::ptrdiff_t b) const noexcept {
  return runEnd_[static_cast<std::size_t>(a)] >= b;
}

LUMETRA_HOT_INLINE double NonStationary::rangeSum(std::ptrdiff_t a,
                                                  std::ptrdiff_t b) const noexcept {
  const PrefixSum& from = prefix_[static_cast<std::size_t>(a)];
  const PrefixSum& to = prefix_[static_cast<std::size_t>(b)];
  return (to.hi - from.hi) + (to.lo - from.lo);
}

// (mean(right) - mean(left))^2 * nl * nr / (n * sigma^2), rewritten as
// (nl * sumRight - nr * sumLeft)^2 / (nl * nr * n * sigma^2): one division, and that one off the
// dependency chain of the sums.
LUMETRA_HOT_INLINE double NonStationary::splitScore(double sumLeft, std::ptrdiff_t nLeft,
                                                    double sumRight,
                                                    std::ptrdiff_t nRight) const noexcept {
  const auto nl = static_cast<double>(nLeft);
  const auto nr = static_cast<double>(nRight);
  const double diff = nl * sumRight - nr * sumLeft;
  if (diff == 0.0) return 0.0;
  const double t = diff * invSigmaScaled_;
  return capScore(t * t * (1.0 / (nl * nr * (nl + nr))));
}

LUMETRA_HOT_INLINE double NonStationary::localToGlobal(std::ptrdiff_t a,
                                                       std::ptrdiff_t b) const noexcept {
  const std::ptrdiff_t n = b - a;
  if (n < 4 || sigmaScaled_ == 0.0 || isFlat(a, b)) return 0.0;
  const std::ptrdiff_t m = a + n / 2;
  return splitScore(rangeSum(a, m), m - a, rangeSum(m, b), b - m);
}

double NonStationary::leftToRight(std::ptrdiff_t a, std::ptrdiff_t b) const noexcept {
  const std::ptrdiff_t n = b - a;
  if (n < 4 || isFlat(a, b)) return 0.0;
  const std::ptrdiff_t m = a + n / 2;
  const double* x = finite_.data();

  // Each half is taken relative to its first sample, so a flat half has exactly zero spread.
  const double baseLeft = x[a];
  const double baseRight = x[m];
  double sumLeft = 0.0;
  double sumRight = 0.0;
  double spread = 0.0;
  for (std::ptrdiff_t k = a; k < m; ++k) {
    const double u = x[k] - baseLeft;
    sumLeft += u;
    spread = std::max(spread, std::abs(u));
  }
  for (std::ptrdiff_t k = m; k < b; ++k) {
    const double u = x[k] - baseRight;
    sumRight += u;
    spread = std::max(spread, std::abs(u));
  }
  if (spread == 0.0) return baseLeft == baseRight ? 0.0 : kNsScoreCap;

  // Rescale by a power of two so the largest deviation is about 1: squares of deviations that are
  // tiny next to the rest of the trace then neither underflow nor lose digits.
  int exponent = 0;
  std::frexp(spread, &exponent);
  const double unit = std::ldexp(1.0, std::min(-exponent, 1000));
  const auto nLeft = static_cast<double>(m - a);
  const auto nRight = static_cast<double>(b - m);
  const double meanLeft = sumLeft * unit / nLeft;
  const double meanRight = sumRight * unit / nRight;
  double squares = 0.0;
  for (std::ptrdiff_t k = a; k < m; ++k) {
    const double dev = (x[k] - baseLeft) * unit - meanLeft;
    squares += dev * dev;
  }
  for (std::ptrdiff_t k = m; k < b; ++k) {
    const double dev = (x[k] - baseRight) * unit - meanRight;
    squares += dev * dev;
  }

  const double diff = (baseRight - baseLeft) * unit + (meanRight - meanLeft);
  if (diff == 0.0) return 0.0;
  // squares > 0 here: some half is not flat, and its largest deviation is at least 1/4 after the
  // rescaling above.
  const double pooledVariance = squares / static_cast<double>(n - 2);
  return capScore(diff * diff * splitWeight(m - a, b - m) / pooledVariance);
}

double NonStationary::dyadicMax(std::ptrdiff_t lo, std::ptrdiff_t hi) const noexcept {
  const std::ptrdiff_t n = hi - lo;
  if (n < 4) return 0.0;
  const std::ptrdiff_t mid = lo + n / 2;
  const double here = splitScore(rangeSum(lo, mid), mid - lo, rangeSum(mid, hi), hi - mid);
  return std::max({here, dyadicMax(lo, mid), dyadicMax(mid, hi)});
}

double NonStationary::dichotomy(std::ptrdiff_t a, std::ptrdiff_t b) const noexcept {
  if (b - a < 4 || sigmaScaled_ == 0.0 || isFlat(a, b)) return 0.0;
  return dyadicMax(a, b);
}

double NonStationary::circleLeftToRight(std::ptrdiff_t a, std::ptrdiff_t b) const noexcept {
  const std::ptrdiff_t n = b - a;
  if (n < 4 || sigmaScaled_ == 0.0 || isFlat(a, b)) return 0.0;
  const std::ptrdiff_t arcLen = n / 2;
  // With n even the arc starting at r + n/2 is the complement of the one at r: same score.
  const std::ptrdiff_t rotations = n % 2 == 0 ? arcLen : n;
  const double total = rangeSum(a, b);
  double best = 0.0;
  for (std::ptrdiff_t r = 0; r < rotations; ++r) {
    const std::ptrdiff_t from = a + r;
    const std::ptrdiff_t to = from + arcLen;
    const double arc = to <= b ? rangeSum(from, to) : rangeSum(from, b) + rangeSum(a, to - n);
    best = std::max(best, splitScore(arc, arcLen, total - arc, n - arcLen));
  }
  return best;
}

double NonStationary::nsFuncRange(NsAlgo algo, std::ptrdiff_t start, std::ptrdiff_t end) const {
  const RankRange r = finiteRanks(start, end);
  switch (algo) {
    case NsAlgo::LocalToGlobal:
      return localToGlobal(r.a, r.b);
    case NsAlgo::LeftToRight:
      return leftToRight(r.a, r.b);
    case NsAlgo::Dichotomy:
      return dichotomy(r.a, r.b);
    case NsAlgo::CircleLeftToRight:
      return circleLeftToRight(r.a, r.b);
  }
  throwBadAlgo();
}

void NonStationary::stream(NsAlgo algo, std::ptrdiff_t windowsLen, std::span<double> out) const {
  // One loop per score so the score is inlined; each element runs exactly the arithmetic of
  // nsFuncRange(algo, i, i + windowsLen).
  switch (algo) {
    case NsAlgo::LocalToGlobal:
      fillWindows(out, windowsLen, [this](std::ptrdiff_t s, std::ptrdiff_t e) {
        const RankRange r = finiteRanks(s, e);
        return localToGlobal(r.a, r.b);
      });
      return;
    case NsAlgo::LeftToRight:
      fillWindows(out, windowsLen, [this](std::ptrdiff_t s, std::ptrdiff_t e) {
        const RankRange r = finiteRanks(s, e);
        return leftToRight(r.a, r.b);
      });
      return;
    case NsAlgo::Dichotomy:
      fillWindows(out, windowsLen, [this](std::ptrdiff_t s, std::ptrdiff_t e) {
        const RankRange r = finiteRanks(s, e);
        return dichotomy(r.a, r.b);
      });
      return;
    case NsAlgo::CircleLeftToRight:
      fillWindows(out, windowsLen, [this](std::ptrdiff_t s, std::ptrdiff_t e) {
        const RankRange r = finiteRanks(s, e);
        return circleLeftToRight(r.a, r.b);
      });
      return;
  }
  throwBadAlgo();
}

}  // namespace lumetra

#undef LUMETRA_HOT_INLINE
