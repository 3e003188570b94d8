// What one frame says about each state of the shared hidden Markov model (hmm.hpp): Gaussian
// emissions, and with frame blur also those of the frames in which the state changed; every
// spread multiplied by the trace's noise scale, and with the model's outlier term each density
// d becomes (1 - share) d + share density.
#pragma once

#include <span>

#include "hmm.hpp"

namespace lumetra {

// Emission weights of one frame relative to the most likely state (all 1 for NaN); returns the
// log of the factor taken out. `outlier`, when given, receives the outlier term's part of each
// weight, in the same units (0 without the term or for NaN): a weight w is that much outlier,
// the rest Gaussian.
double emissions(double x, const HmmModel& m, std::span<double> out, double scale = 1,
                 double* outlier = nullptr);

// With frame blur: the emissions of frames without a change (`pure`, per state) and of frames
// that changed from i to j (`mix`, k x k, diagonal unused): the mean of N(x; f a + (1 - f) b)
// over f uniform in [0, 1], with the mean of the two spreads. All relative to the largest, all
// 1 for NaN; returns the log of the factor taken out. `scratch`: 3 k values; `scale` and
// `outlier` as for emissions.
double blurEmissions(double x, const HmmModel& m, std::span<double> pure, std::span<double> mix,
                     std::span<double> scratch, double scale = 1, double* outlier = nullptr);

}  // namespace lumetra
