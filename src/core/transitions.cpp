#include "transitions.hpp"

#include <cmath>
#include <stdexcept>

namespace lumetra {

double scanMinimum(std::span<const double> levels) {
  if (levels.empty()) throw std::invalid_argument("minimum of an empty trace");
  double lowest = levels[0];
  for (double v : levels.subspan(1)) {
    if (v < lowest) lowest = v;
  }
  return lowest;
}

double lowestLevel(std::span<const std::vector<double>> traces) {
  double lowest = 1.0;
  for (const std::vector<double>& trace : traces) {
    const double m = scanMinimum(trace);
    if (m < lowest) lowest = m;
  }
  return lowest;
}

double tailThreshold(double requested, double lowest) {
  return requested >= 1.0 ? std::abs(lowest) : requested;
}

TraceTransitions scanTrace(std::span<const double> levels, double threshold) {
  TraceTransitions out;
  std::size_t end = levels.size();
  if (threshold != kNoTailTrimming) {
    for (std::size_t idx = 0; idx < levels.size(); ++idx) {
      if (levels[idx] <= threshold) {
        out.tailStart = static_cast<std::ptrdiff_t>(idx);
        end = idx;
        break;
      }
    }
  }
  if (levels.empty()) return out;
  double level = levels[0];
  for (std::size_t idx = 0; idx < end; ++idx) {
    if (levels[idx] == level) continue;
    out.frames.push_back(idx);
    level = levels[idx];
  }
  return out;
}

}  // namespace lumetra
