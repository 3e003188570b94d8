// Piecewise-constant signals with Gaussian noise, for the tests of photobleach.cpp and
// screening.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "random.hpp"

namespace lumetra::steptest {

// `levels[j]` from frame `starts[j]` on, plus Gaussian noise of `sigma`.
inline std::vector<double> steps(std::size_t frames, const std::vector<std::size_t>& starts,
                                 const std::vector<double>& levels, double sigma,
                                 std::uint64_t seed) {
  Random rng(seed);
  std::vector<double> x(frames);
  std::size_t j = 0;
  for (std::size_t i = 0; i < frames; ++i) {
    while (j + 1 < starts.size() && i >= starts[j + 1]) ++j;
    double z0 = 0, z1 = 0;
    rng.normalPair(z0, z1);
    x[i] = levels[j] + sigma * z0;
  }
  return x;
}

}  // namespace lumetra::steptest
