// Joining neighbouring levels that cannot be told apart.
#pragma once

#include <span>
#include <vector>

namespace lumetra {

// For each partition, whether it joins the one before it: when its mean and its predecessor's
// differ by no more than the larger of their two standard deviations.  Every test uses the
// statistics as given, so chains join whole; partition 0 never joins, and NaN joins nothing.
std::vector<bool> mergeFlags(std::span<const double> means, std::span<const double> stds);

}  // namespace lumetra
