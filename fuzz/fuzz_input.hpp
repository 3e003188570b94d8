// Turning fuzz bytes into the inputs of the numeric core: samples that are mostly ordinary
// numbers with NaN, infinities, zeros of both signs, subnormals and extremes mixed in, and
// indices that are mostly small but can be negative or near the limits of std::ptrdiff_t.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

#include "pairs.hpp"

namespace lumetra::fuzz {

using Index = std::ptrdiff_t;
using Limits = std::numeric_limits<double>;

// Stops the run with a crash that libFuzzer records, for a broken invariant of the core.
inline void check(bool holds) {
  if (!holds) std::abort();
}

inline double takeSample(FuzzedDataProvider& in) {
  static constexpr std::array kSpecial = {0.0,
                                          -0.0,
                                          1.0,
                                          -1.0,
                                          Limits::denorm_min(),
                                          Limits::min(),
                                          Limits::epsilon(),
                                          Limits::max(),
                                          Limits::lowest(),
                                          1e300,
                                          -1e-300,
                                          9007199254740993.0};
  const auto kind = in.ConsumeIntegral<std::uint8_t>();
  if (kind < 6) return Limits::quiet_NaN();
  if (kind < 10) return Limits::infinity();
  if (kind < 14) return -Limits::infinity();
  if (kind < 28) return kSpecial[in.ConsumeIntegralInRange<std::size_t>(0, kSpecial.size() - 1)];
  if (kind < 40) return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
  // Ordinary values: a level and some noise in eighths, often repeated.
  return static_cast<double>(in.ConsumeIntegral<std::int16_t>()) / 8.0;
}

inline std::vector<double> takeSeries(FuzzedDataProvider& in, std::size_t maxLength) {
  std::vector<double> out(in.ConsumeIntegralInRange<std::size_t>(0, maxLength));
  for (double& x : out) x = takeSample(in);
  return out;
}

// A trace that steps between a few levels, with small noise and an occasional odd sample.
inline std::vector<double> takeSteppedTrace(FuzzedDataProvider& in, std::size_t maxLength) {
  std::vector<double> out;
  const auto length = in.ConsumeIntegralInRange<std::size_t>(0, maxLength);
  out.reserve(length);
  while (out.size() < length && in.remaining_bytes() > 0) {
    const auto level = static_cast<double>(in.ConsumeIntegral<std::int16_t>());
    const auto dwell = in.ConsumeIntegralInRange<std::size_t>(1, 256);
    for (std::size_t k = 0; k < dwell && out.size() < length; ++k) {
      const auto noise = in.ConsumeIntegral<std::int8_t>();
      out.push_back(noise == std::numeric_limits<std::int8_t>::min() ? takeSample(in)
                                                                     : level + noise / 4.0);
    }
  }
  return out;
}

inline Index takeIndex(FuzzedDataProvider& in) {
  constexpr Index kMax = std::numeric_limits<Index>::max();
  constexpr Index kMin = std::numeric_limits<Index>::min();
  switch (in.ConsumeIntegralInRange<int>(0, 9)) {
    case 0:
      return in.ConsumeIntegral<Index>();
    case 1:
      return in.ConsumeBool() ? kMax - in.ConsumeIntegralInRange<Index>(0, 4)
                              : kMin + in.ConsumeIntegralInRange<Index>(0, 4);
    case 2:
      return (in.ConsumeBool() ? kMax : kMin) / in.ConsumeIntegralInRange<Index>(2, 5);
    default:
      return in.ConsumeIntegralInRange<Index>(-40, 400);
  }
}

// Pairs as anyone could pass them: in any order, overlapping, reversed, or far out of range.
inline std::vector<Pair> takePairs(FuzzedDataProvider& in, std::size_t maxCount) {
  std::vector<Pair> out(in.ConsumeIntegralInRange<std::size_t>(0, maxCount));
  Index seq = 0;
  for (Pair& p : out) p = {takeIndex(in), takeIndex(in), seq++};
  return out;
}

inline std::vector<Partition> takePartitions(FuzzedDataProvider& in, std::size_t maxCount) {
  std::vector<Partition> out(in.ConsumeIntegralInRange<std::size_t>(0, maxCount));
  Index seq = 0;
  for (Partition& p : out) p = {takeIndex(in), takeIndex(in), seq++};
  return out;
}

}  // namespace lumetra::fuzz
