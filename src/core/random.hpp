// Random draws built from the raw 64-bit output of mt19937_64, whose sequence is fixed by the
// standard. The std:: distributions are avoided because their algorithms differ between
// standard libraries, and simulated traces must not.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <random>

namespace lumetra {

class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}

  // Uniform double in [0, 1) from the top 53 bits of one engine output.
  double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }

  // Uniform integer in [0, n), n >= 1, without modulo bias: outputs below 2^64 mod n are
  // rejected so that every residue is equally likely.
  std::size_t index(std::size_t n) {
    const std::uint64_t bound = n;
    const std::uint64_t threshold = (0 - bound) % bound;
    for (;;) {
      const std::uint64_t r = engine_();
      if (r >= threshold) return static_cast<std::size_t>(r % bound);
    }
  }

  // Visit length in frames: geometric on {1, 2, ...} with mean `mean`, drawn as the ceiling of
  // an exponential (inverse CDF) whose rate makes the discrete mean exactly `mean`. The result
  // is capped at `cap` (>= 1), the number of frames still to fill.
  std::size_t dwell(double mean, std::size_t cap) {
    const double u = uniform();  // drawn even when unused: one draw per visit in every case
    if (mean <= 1) return 1;
    // log1p(-u) is in (-37.5, 0] and log1p(-1 / mean) < 0, so x >= 0.
    const double x = std::ceil(std::log1p(-u) / std::log1p(-1 / mean));
    if (!(x < static_cast<double>(cap))) return cap;
    return x < 1 ? 1 : static_cast<std::size_t>(x);
  }

  // Exponential waiting time with the given rate (> 0), by inversion.
  double exponential(double rate) { return -std::log1p(-uniform()) / rate; }

  // Pair of independent standard normal deviates (Box-Muller).
  void normalPair(double& z0, double& z1) {
    const double u1 = 1 - uniform();  // (0, 1], keeps the logarithm finite
    const double u2 = uniform();
    const double r = std::sqrt(-2 * std::log(u1));
    const double angle = 2 * std::numbers::pi * u2;
    z0 = r * std::cos(angle);
    z1 = r * std::sin(angle);
  }

  // Poisson count with the given mean (>= 0): multiplication of uniforms for small means,
  // Hoermann's transformed rejection (PTRS) above 10.
  double poisson(double mean) {
    if (mean <= 0) return 0;
    if (mean < 10) {
      const double limit = std::exp(-mean);
      double count = 0;
      for (double product = uniform(); product > limit; product *= uniform()) ++count;
      return count;
    }
    const double logMean = std::log(mean);
    const double b = 0.931 + 2.53 * std::sqrt(mean);
    const double a = -0.059 + 0.02483 * b;
    const double inverseAlpha = 1.1239 + 1.1328 / (b - 3.4);
    const double vr = 0.9277 - 3.6224 / (b - 2);
    for (;;) {
      const double u = uniform() - 0.5;
      const double v = uniform();
      const double us = 0.5 - std::abs(u);
      const double k = std::floor((2 * a / us + b) * u + mean + 0.43);
      if (us >= 0.07 && v <= vr) return k;
      if (k < 0 || (us < 0.013 && v > us)) continue;
      const double lhs = std::log(v * inverseAlpha / (a / (us * us) + b));
      if (lhs <= -mean + k * logMean - std::lgamma(k + 1)) return k;
    }
  }

 private:
  std::mt19937_64 engine_;
};

}  // namespace lumetra
