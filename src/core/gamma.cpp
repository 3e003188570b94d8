#include "gamma.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace lumetra {
namespace {

constexpr double kEpsilon = 1e-16;
constexpr int kMaxTerms = 100000;

double seriesP(double a, double x) {
  double term = 1 / a;
  double sum = term;
  for (int n = 1; n < kMaxTerms; ++n) {
    term *= x / (a + n);
    sum += term;
    if (std::abs(term) < std::abs(sum) * kEpsilon) break;
  }
  return sum * std::exp(-x + a * std::log(x) - std::lgamma(a));
}

double continuedFractionQ(double a, double x) {
  const double tiny = std::numeric_limits<double>::min() / kEpsilon;
  double b = x + 1 - a;
  double c = 1 / tiny;
  double d = 1 / b;
  double h = d;
  for (int i = 1; i < kMaxTerms; ++i) {
    const double an = -i * (i - a);
    b += 2;
    d = an * d + b;
    if (std::abs(d) < tiny) d = tiny;
    c = b + an / c;
    if (std::abs(c) < tiny) c = tiny;
    d = 1 / d;
    const double step = d * c;
    h *= step;
    if (std::abs(step - 1) < kEpsilon) break;
  }
  return std::exp(-x + a * std::log(x) - std::lgamma(a)) * h;
}

}  // namespace

double regularisedGammaP(double a, double x) {
  if (!(a > 0) || !(x >= 0)) {
    throw std::invalid_argument("regularisedGammaP: needs a > 0 and x >= 0");
  }
  if (x == 0) return 0;
  if (std::isinf(x)) return 1;
  return x < a + 1 ? seriesP(a, x) : 1 - continuedFractionQ(a, x);
}

double gammaQuantile(double p, double a) {
  if (!(p > 0 && p < 1) || !(a > 0) || std::isinf(a)) {
    throw std::invalid_argument("gammaQuantile: needs 0 < p < 1 and a finite shape > 0");
  }
  double low = 0;
  double high = a + 1;
  while (regularisedGammaP(a, high) < p) {
    low = high;
    high *= 2;
  }
  for (int i = 0; i < 2000; ++i) {
    const double mid = low + (high - low) / 2;
    if (mid <= low || mid >= high) break;
    (regularisedGammaP(a, mid) < p ? low : high) = mid;
  }
  return low + (high - low) / 2;
}

double chiSquareQuantile(double p, double dof) { return 2 * gammaQuantile(p, dof / 2); }

}  // namespace lumetra
