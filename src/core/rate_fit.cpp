#include "rate_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>

#include "matrix_log.hpp"

namespace lumetra {

namespace {

using Matrix = std::vector<double>;

constexpr double kArmijo = 1e-4;  // sufficient increase of the line search
constexpr int kHalvings = 40;     // line-search step halvings at most

void checkSizes(std::span<const double> counts, std::size_t k) {
  if (k == 0 || counts.size() != k * k) throw std::invalid_argument("rates: size is not k * k");
  if (!std::all_of(counts.begin(), counts.end(), [](double n) { return n >= 0; })) {
    throw std::invalid_argument("rates: counts must be >= 0");
  }
}

// The free rates' positions (i * k + j, i != j).
std::vector<std::size_t> freePlaces(std::span<const std::uint8_t> free, std::size_t k) {
  std::vector<std::size_t> places;
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j < k; ++j) {
      if (i != j && free[i * k + j] != 0) places.push_back(i * k + j);
    }
  }
  return places;
}

Matrix ratesOf(std::span<const double> theta, const std::vector<std::size_t>& places,
               std::size_t k) {
  Matrix q(k * k, 0.0);
  for (std::size_t p = 0; p < places.size(); ++p) {
    const double rate = std::exp(theta[p]);
    q[places[p]] = rate;
    q[(places[p] / k) * (k + 1)] -= rate;
  }
  return q;
}

// The gradient of sum n_ij log P_ij over Q's entries: the Frechet derivative of exp at Q^T in
// the direction G = n / P, the upper right block of exp([[Q^T, G], [0, Q^T]]).
Matrix gradient(std::span<const double> counts, const Matrix& q, const Matrix& p, std::size_t k) {
  const std::size_t w = 2 * k;
  Matrix block(w * w, 0.0);
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j < k; ++j) {
      block[i * w + j] = block[(i + k) * w + j + k] = q[j * k + i];
      const double n = counts[i * k + j];
      block[i * w + j + k] = n > 0 ? n / std::max(p[i * k + j], 1e-300) : 0.0;
    }
  }
  const Matrix e = matrixExp(block, w);
  Matrix g(k * k);
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j < k; ++j) g[i * k + j] = e[i * w + j + k];
  }
  return g;
}

}  // namespace

std::vector<double> transitionOfRates(std::span<const double> rates, std::size_t k) {
  Matrix p = matrixExp(rates, k);
  for (std::size_t i = 0; i < k; ++i) {
    const auto row = std::span(p).subspan(i * k, k);
    for (double& v : row) v = std::max(v, 0.0);
    const double sum = std::accumulate(row.begin(), row.end(), 0.0);
    for (double& v : row) v /= sum;
  }
  return p;
}

double rateLogLikelihood(std::span<const double> counts, std::span<const double> rates,
                         std::size_t k) {
  checkSizes(counts, k);
  const Matrix p = transitionOfRates(rates, k);
  double sum = 0;
  for (std::size_t i = 0; i < k * k; ++i) {
    if (counts[i] > 0 && !(p[i] > 0)) return -std::numeric_limits<double>::infinity();
    if (counts[i] > 0) sum += counts[i] * std::log(p[i]);
  }
  return sum;
}

std::vector<double> fitRates(std::span<const double> counts, std::span<const std::uint8_t> free,
                             std::span<const double> start, std::size_t k,
                             const RateFitOptions& options) {
  checkSizes(counts, k);
  if (free.size() != k * k || start.size() != k * k) {
    throw std::invalid_argument("rates: size is not k * k");
  }
  const std::vector<std::size_t> places = freePlaces(free, k);
  const std::size_t d = places.size();
  const double low = std::log(options.minRate), high = std::log(options.maxRate);
  std::vector<double> theta(d);
  for (std::size_t p = 0; p < d; ++p) {
    const double rate = std::isfinite(start[places[p]]) ? start[places[p]] : options.minRate;
    theta[p] = std::clamp(std::log(std::max(rate, options.minRate)), low, high);
  }
  if (d == 0) return ratesOf(theta, places, k);
  const double total = std::accumulate(counts.begin(), counts.end(), 0.0);
  // The log-likelihood and its gradient in theta.
  auto evaluate = [&](const std::vector<double>& at, std::vector<double>* grad) {
    const Matrix q = ratesOf(at, places, k);
    const Matrix p = transitionOfRates(q, k);
    double value = 0;
    for (std::size_t i = 0; i < k * k; ++i) {
      if (counts[i] > 0) value += counts[i] * std::log(std::max(p[i], 1e-300));
    }
    if (grad != nullptr) {
      const Matrix g = gradient(counts, q, p, k);
      for (std::size_t r = 0; r < d; ++r) {
        const std::size_t i = places[r] / k;
        (*grad)[r] = q[places[r]] * (g[places[r]] - g[i * k + i]);
      }
    }
    return value;
  };
  std::vector<double> grad(d), nextGrad(d), step(d), next(d), s(d), y(d);
  // The inverse Hessian estimate of -f, started as the identity.
  std::vector<double> h(d * d, 0.0);
  for (std::size_t i = 0; i < d; ++i) h[i * d + i] = 1;
  double value = evaluate(theta, &grad);
  for (int iteration = 0; iteration < options.maxIterations; ++iteration) {
    for (std::size_t i = 0; i < d; ++i) {
      step[i] = 0;
      for (std::size_t j = 0; j < d; ++j) step[i] += h[i * d + j] * grad[j];
    }
    double slope = std::inner_product(step.begin(), step.end(), grad.begin(), 0.0);
    if (!(slope > 0)) {  // not an ascent direction: back to the gradient
      step = grad;
      slope = std::inner_product(grad.begin(), grad.end(), grad.begin(), 0.0);
      std::fill(h.begin(), h.end(), 0.0);
      for (std::size_t i = 0; i < d; ++i) h[i * d + i] = 1;
    }
    if (!(slope > 0)) break;
    double length = 1, nextValue = value;
    bool accepted = false;
    for (int halving = 0; halving < kHalvings; ++halving, length /= 2) {
      for (std::size_t i = 0; i < d; ++i) {
        next[i] = std::clamp(theta[i] + length * step[i], low, high);
      }
      nextValue = evaluate(next, nullptr);
      if (nextValue >= value + kArmijo * length * slope) {
        accepted = true;
        break;
      }
    }
    if (!accepted) break;
    evaluate(next, &nextGrad);
    const double gain = nextValue - value;
    for (std::size_t i = 0; i < d; ++i) {
      s[i] = next[i] - theta[i];
      y[i] = grad[i] - nextGrad[i];  // the gradient of -f changes by -(g' - g)
    }
    theta.swap(next);
    grad.swap(nextGrad);
    value = nextValue;
    if (gain < options.tolerance * std::max(total, 1.0)) break;
    const double sy = std::inner_product(s.begin(), s.end(), y.begin(), 0.0);
    if (sy > 1e-300) {  // BFGS update of the inverse Hessian
      std::vector<double> hy(d, 0.0);
      for (std::size_t i = 0; i < d; ++i) {
        for (std::size_t j = 0; j < d; ++j) hy[i] += h[i * d + j] * y[j];
      }
      const double yhy = std::inner_product(y.begin(), y.end(), hy.begin(), 0.0);
      for (std::size_t i = 0; i < d; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
          h[i * d + j] += (sy + yhy) * s[i] * s[j] / (sy * sy) - (hy[i] * s[j] + s[i] * hy[j]) / sy;
        }
      }
    }
  }
  return ratesOf(theta, places, k);
}

}  // namespace lumetra
