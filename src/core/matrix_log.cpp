#include "matrix_log.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace lumetra {

namespace {

using Matrix = std::vector<double>;

// Square roots are taken until the 1-norm of A - I is at most this; the series then needs
// about 30 terms for double precision.
constexpr double kNearIdentity = 0.25;
constexpr int kMaxSquareRoots = 60;
constexpr int kMaxRootIterations = 100;
constexpr int kMaxSeriesTerms = 200;
constexpr double kConverged = 1e-15;

void checkSize(std::span<const double> a, std::size_t k) {
  if (k == 0 || a.size() != k * k) throw std::invalid_argument("matrix: size is not k * k");
}

Matrix identity(std::size_t k) {
  Matrix m(k * k, 0.0);
  for (std::size_t i = 0; i < k; ++i) m[i * k + i] = 1;
  return m;
}

Matrix multiply(const Matrix& a, const Matrix& b, std::size_t k) {
  Matrix c(k * k, 0.0);
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t l = 0; l < k; ++l) {
      const double v = a[i * k + l];
      for (std::size_t j = 0; j < k; ++j) c[i * k + j] += v * b[l * k + j];
    }
  }
  return c;
}

// Largest column sum of absolute values.
double norm1(const Matrix& a, std::size_t k) {
  double top = 0;
  for (std::size_t j = 0; j < k; ++j) {
    double sum = 0;
    for (std::size_t i = 0; i < k; ++i) sum += std::abs(a[i * k + j]);
    top = std::max(top, sum);
  }
  return top;
}

double distanceToIdentity(const Matrix& a, std::size_t k) {
  Matrix d = a;
  for (std::size_t i = 0; i < k; ++i) d[i * k + i] -= 1;
  return norm1(d, k);
}

// Gauss-Jordan with partial pivoting; nothing for a (numerically) singular matrix.
std::optional<Matrix> inverse(Matrix a, std::size_t k) {
  Matrix inv = identity(k);
  const double scale = std::max(norm1(a, k), 1e-300);
  for (std::size_t c = 0; c < k; ++c) {
    std::size_t pivot = c;
    for (std::size_t r = c + 1; r < k; ++r) {
      if (std::abs(a[r * k + c]) > std::abs(a[pivot * k + c])) pivot = r;
    }
    if (!(std::abs(a[pivot * k + c]) > 1e-14 * scale)) return std::nullopt;
    for (std::size_t j = 0; j < k; ++j) {
      std::swap(a[c * k + j], a[pivot * k + j]);
      std::swap(inv[c * k + j], inv[pivot * k + j]);
    }
    const double d = a[c * k + c];
    for (std::size_t j = 0; j < k; ++j) {
      a[c * k + j] /= d;
      inv[c * k + j] /= d;
    }
    for (std::size_t r = 0; r < k; ++r) {
      const double f = a[r * k + c];
      if (r == c || f == 0) continue;
      for (std::size_t j = 0; j < k; ++j) {
        a[r * k + j] -= f * a[c * k + j];
        inv[r * k + j] -= f * inv[c * k + j];
      }
    }
  }
  return inv;
}

// The principal square root by the Denman-Beavers iteration.
std::optional<Matrix> squareRoot(const Matrix& a, std::size_t k) {
  Matrix y = a, z = identity(k);
  for (int it = 0; it < kMaxRootIterations; ++it) {
    const auto yInv = inverse(y, k);
    const auto zInv = inverse(z, k);
    if (!yInv || !zInv) return std::nullopt;
    Matrix next(k * k);
    double change = 0;
    for (std::size_t i = 0; i < k * k; ++i) {
      next[i] = 0.5 * (y[i] + (*zInv)[i]);
      z[i] = 0.5 * (z[i] + (*yInv)[i]);
      change = std::max(change, std::abs(next[i] - y[i]));
    }
    y = std::move(next);
    if (change <= kConverged * std::max(1.0, norm1(y, k))) return y;
  }
  return std::nullopt;
}

}  // namespace

std::vector<double> matrixExp(std::span<const double> a, std::size_t k) {
  checkSize(a, k);
  Matrix x(a.begin(), a.end());
  // Scale to a norm below 1/2, sum the series, square back.
  if (!std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); })) {
    Matrix undefined(k * k, std::numeric_limits<double>::quiet_NaN());
    return undefined;
  }
  int squarings = 0;
  const double n = norm1(x, k);
  if (n > 0.5) squarings = static_cast<int>(std::ceil(std::log2(n / 0.5)));
  const double scale = std::ldexp(1.0, -squarings);
  for (double& v : x) v *= scale;
  Matrix sum = identity(k), term = identity(k);
  for (int m = 1; m < kMaxSeriesTerms; ++m) {
    term = multiply(term, x, k);
    for (double& v : term) v /= m;
    for (std::size_t i = 0; i < k * k; ++i) sum[i] += term[i];
    if (norm1(term, k) <= kConverged * norm1(sum, k)) break;
  }
  for (int s = 0; s < squarings; ++s) sum = multiply(sum, sum, k);
  return sum;
}

std::optional<std::vector<double>> matrixLog(std::span<const double> a, std::size_t k) {
  checkSize(a, k);
  Matrix y(a.begin(), a.end());
  if (!std::all_of(y.begin(), y.end(), [](double v) { return std::isfinite(v); })) {
    return std::nullopt;
  }
  int roots = 0;
  while (distanceToIdentity(y, k) > kNearIdentity) {
    if (++roots > kMaxSquareRoots) return std::nullopt;
    auto root = squareRoot(y, k);
    if (!root) return std::nullopt;
    y = std::move(*root);
  }
  Matrix x = y;
  for (std::size_t i = 0; i < k; ++i) x[i * k + i] -= 1;
  // log(I + X) = X - X^2 / 2 + X^3 / 3 - ...
  Matrix sum(k * k, 0.0), power = identity(k);
  for (int m = 1; m < kMaxSeriesTerms; ++m) {
    power = multiply(power, x, k);
    const double c = (m % 2 == 1 ? 1.0 : -1.0) / m;
    for (std::size_t i = 0; i < k * k; ++i) sum[i] += c * power[i];
    if (norm1(power, k) / m <= kConverged * std::max(norm1(sum, k), 1e-300)) break;
  }
  const double back = std::ldexp(1.0, roots);
  for (double& v : sum) v *= back;
  return sum;
}

std::optional<std::vector<double>> rateMatrix(std::span<const double> transition, std::size_t k,
                                              double frameTime) {
  checkSize(transition, k);
  if (!(frameTime > 0)) throw std::invalid_argument("rate matrix: frame time must be > 0");
  auto q = matrixLog(transition, k);
  if (!q) return q;
  for (std::size_t r = 0; r < k; ++r) {
    double leaving = 0;
    for (std::size_t c = 0; c < k; ++c) {
      double& v = (*q)[r * k + c];
      if (c == r) continue;
      v = std::max(v, 0.0) / frameTime;
      leaving += v;
    }
    (*q)[r * k + r] = -leaving;
  }
  return q;
}

}  // namespace lumetra
