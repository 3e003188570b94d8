#include "merge.hpp"

#include <cmath>
#include <stdexcept>

namespace lumetra {

std::vector<bool> mergeFlags(std::span<const double> means, std::span<const double> stds) {
  if (means.size() != stds.size()) {
    throw std::invalid_argument("one standard deviation is needed per mean");
  }
  std::vector<bool> flags(means.size(), false);
  for (std::size_t k = 1; k < means.size(); ++k) {
    // The larger deviation is the later one only when strictly larger, as max() picks it.
    const double larger = stds[k] > stds[k - 1] ? stds[k] : stds[k - 1];
    flags[k] = std::abs(means[k - 1] - means[k]) <= larger;
  }
  return flags;
}

}  // namespace lumetra
