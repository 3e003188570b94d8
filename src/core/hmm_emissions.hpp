// What one frame says about each state of the shared hidden Markov model (hmm.hpp): Gaussian
// emissions, and with frame blur also those of the frames in which the state changed.
#pragma once

#include <span>

#include "hmm.hpp"

namespace lumetra {

// Emission weights of one frame relative to the most likely state (all 1 for NaN); returns the
// log of the factor taken out.
double emissions(double x, const HmmModel& m, std::span<double> out);

// With frame blur: the emissions of frames without a change (`pure`, per state) and of frames
// that changed from i to j (`mix`, k x k, diagonal unused): the mean of N(x; f a + (1 - f) b)
// over f uniform in [0, 1], with the mean of the two spreads. All relative to the largest, all
// 1 for NaN; returns the log of the factor taken out. `scratch`: 3 k values.
double blurEmissions(double x, const HmmModel& m, std::span<double> pure, std::span<double> mix,
                     std::span<double> scratch);

}  // namespace lumetra
