// Traces drawn from a shared hidden Markov model, for the tests of hmm*.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hmm.hpp"
#include "random.hpp"

namespace lumetra::hmmtest {

struct Simulated {
  std::vector<std::vector<double>> traces;
  std::vector<std::vector<std::size_t>> states;
};

inline double normal(Random& random) {
  double z0 = 0, z1 = 0;
  random.normalPair(z0, z1);
  return z0;
}

inline Simulated simulate(const HmmModel& m, std::size_t count, std::size_t frames,
                          std::uint64_t seed) {
  Random random(seed);
  Simulated out;
  const std::size_t k = m.states();
  auto draw = [&](std::span<const double> p) {
    double u = random.uniform();
    for (std::size_t s = 0; s + 1 < k; ++s) {
      if ((u -= p[s]) < 0) return s;
    }
    return k - 1;
  };
  for (std::size_t n = 0; n < count; ++n) {
    std::vector<double> x(frames);
    std::vector<std::size_t> s(frames);
    for (std::size_t t = 0; t < frames; ++t) {
      s[t] = t == 0 ? draw(m.start) : draw(std::span(m.transition).subspan(s[t - 1] * k, k));
      x[t] = m.means[s[t]] + m.spreads[s[t]] * normal(random);
    }
    out.traces.push_back(std::move(x));
    out.states.push_back(std::move(s));
  }
  return out;
}

inline std::vector<std::span<const double>> spans(const std::vector<std::vector<double>>& traces) {
  return {traces.begin(), traces.end()};
}

// Two states seen by a camera that integrates each frame: a continuous-time chain with rates
// k01 and k10 (per frame time), each frame the mean level over its exposure plus noise.
inline std::vector<std::vector<double>> simulateBlurred(double k01, double k10, std::size_t count,
                                                        std::size_t frames, double spread,
                                                        std::uint64_t seed) {
  Random random(seed);
  const double levels[2] = {0.3, 0.7};
  std::vector<std::vector<double>> out;
  for (std::size_t n = 0; n < count; ++n) {
    std::size_t state = random.uniform() < k10 / (k01 + k10) ? 0 : 1;
    double next = random.exponential(state == 0 ? k01 : k10);
    std::vector<double> x(frames);
    for (std::size_t t = 0; t < frames; ++t) {
      double sum = 0, at = static_cast<double>(t);
      while (next < static_cast<double>(t + 1)) {
        sum += (next - at) * levels[state];
        at = next;
        state = 1 - state;
        next += random.exponential(state == 0 ? k01 : k10);
      }
      sum += (static_cast<double>(t + 1) - at) * levels[state];
      x[t] = sum + spread * normal(random);
    }
    out.push_back(std::move(x));
  }
  return out;
}

}  // namespace lumetra::hmmtest
