#include "reductions.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <vector>

namespace lumetra {
namespace {

constexpr std::size_t kBlock = 128;  // numpy's PW_BLOCKSIZE
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Pairwise sum of f(x[i]) in numpy's order; f maps each element before it is added.
template <typename F>
double pairwise(const double* x, std::size_t n, const F& f) {
  if (n < 8) {
    double res = 0.0;
    for (std::size_t i = 0; i < n; ++i) res += f(x[i]);
    return res;
  }
  if (n <= kBlock) {
    std::array<double, 8> r;
    for (std::size_t j = 0; j < 8; ++j) r[j] = f(x[j]);
    std::size_t i = 8;
    for (; i < n - (n % 8); i += 8) {
      for (std::size_t j = 0; j < 8; ++j) r[j] += f(x[i + j]);
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += f(x[i]);
    return res;
  }
  std::size_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise(x, n2, f) + pairwise(x + n2, n - n2, f);
}

}  // namespace

double pairwiseSum(std::span<const double> x) {
  return pairwise(x.data(), x.size(), [](double v) { return v; });
}

std::size_t countNotNaN(std::span<const double> x) {
  std::size_t count = 0;
  for (double v : x) count += std::isnan(v) ? 0 : 1;
  return count;
}

double mean(std::span<const double> x) {
  if (x.empty()) return kNaN;
  return pairwiseSum(x) / static_cast<double>(x.size());
}

double variance(std::span<const double> x) {
  if (x.empty()) return kNaN;
  const double m = mean(x);
  const double ss = pairwise(x.data(), x.size(), [m](double v) {
    const double d = v - m;
    return d * d;
  });
  return ss / static_cast<double>(x.size());
}

void windowVariances(std::span<const double> x, std::size_t width, std::span<double> out) {
  if (out.empty()) return;
  if (width < 8 || width > kBlock) {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = variance(x.subspan(i, width));
    return;
  }
  // Within one block numpy keeps eight running sums: accumulator j of the window starting at i
  // adds x[i + j], x[i + j + 8], ... in that order. That chain depends only on i + j, so it is
  // computed once per position and shared by the eight windows that use it.
  const std::size_t blocks = width / 8;
  const std::size_t tail = 8 * blocks;
  const std::size_t positions = out.size() + 7;
  std::vector<double> chain(positions);
  for (std::size_t k = 0; k < positions; ++k) {
    double r = x[k];
    for (std::size_t b = 1; b < blocks; ++b) r += x[k + 8 * b];
    chain[k] = r;
  }
  const auto n = static_cast<double>(width);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double* c = chain.data() + i;
    double sum = ((c[0] + c[1]) + (c[2] + c[3])) + ((c[4] + c[5]) + (c[6] + c[7]));
    for (std::size_t k = tail; k < width; ++k) sum += x[i + k];
    const double m = sum / n;
    const double* w = x.data() + i;
    std::array<double, 8> r;
    for (std::size_t j = 0; j < 8; ++j) {
      const double d = w[j] - m;
      r[j] = d * d;
    }
    for (std::size_t b = 8; b < tail; b += 8) {
      for (std::size_t j = 0; j < 8; ++j) {
        const double d = w[b + j] - m;
        r[j] += d * d;
      }
    }
    double ss = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (std::size_t k = tail; k < width; ++k) {
      const double d = w[k] - m;
      ss += d * d;
    }
    out[i] = ss / n;
  }
}

double nanMean(std::span<const double> x) {
  const std::size_t count = countNotNaN(x);
  if (count == 0) return kNaN;
  const double sum = pairwise(x.data(), x.size(), [](double v) { return std::isnan(v) ? 0.0 : v; });
  return sum / static_cast<double>(count);
}

double nanVariance(std::span<const double> x) {
  const std::size_t count = countNotNaN(x);
  if (count == 0) return kNaN;
  const double m = nanMean(x);
  const double ss = pairwise(x.data(), x.size(), [m](double v) {
    if (std::isnan(v)) return 0.0;
    const double d = m - v;
    return d * d;
  });
  return ss / static_cast<double>(count);
}

}  // namespace lumetra
