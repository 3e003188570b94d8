// What one frame says about each state of the shared hidden Markov model (hmm.hpp): Gaussian
// emissions, and with frame blur also those of the frames in which the state changed; every
// spread multiplied by the trace's noise scale, and with the model's outlier term each density
// d becomes (1 - share) d + share density.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "hmm.hpp"

namespace lumetra {

// The emissions of the frames of one trace. What depends on the model and the trace's noise
// scale only (the scaled spreads and their logarithms, the outlier term's weights, which states
// share a mean and a spread and so emit alike) is worked out once; each frame's densities are
// then worked out once per distinct mean and spread.
class TraceEmissions {
 public:
  TraceEmissions(const HmmModel& m, double scale);
  // As emissions() and blurEmissions() below (the same numbers, bit for bit).
  double pure(double x, std::span<double> out, double* outlier = nullptr);
  double blurred(double x, std::span<double> pure, std::span<double> mix,
                 double* outlier = nullptr);

 private:
  // A frame's weights per group (relative to exp(top)) and those of its changes between groups
  // with the outlier term mixed in, written out per state; returns the log of the factor taken
  // out.
  double finish(double top, std::span<double> weight, std::span<double> groupMix,
                std::span<double> pure, std::span<double> mix, double* outlier) const;

  std::size_t k_, groups_ = 0;
  bool sharedSpread_, outliers_;
  std::vector<std::size_t> groupOf_;                      // per state
  std::vector<double> mean_, spread_, logSpread_;         // per group, spreads scaled
  std::vector<double> pairSpread_, pairLogSpread_;        // per pair of groups
  double inlierLog_ = 0, outlierLog_ = 0;                 // log(1 - share), log(share density)
  std::vector<double> z_, upper_, lower_, weight_, mix_;  // one frame's, per group (pair)
};

// Emission weights of one frame relative to the most likely state (all 1 for NaN); returns the
// log of the factor taken out. `outlier`, when given, receives the outlier term's part of each
// weight, in the same units (0 without the term or for NaN): a weight w is that much outlier,
// the rest Gaussian.
double emissions(double x, const HmmModel& m, std::span<double> out, double scale = 1,
                 double* outlier = nullptr);

// With frame blur: the emissions of frames without a change (`pure`, per state) and of frames
// that changed from i to j (`mix`, k x k, its diagonal the emissions without a change): the mean of
// N(x; f a + (1 - f) b) over f uniform in [0, 1], with the mean of the two spreads. All relative to
// the largest, all 1 for NaN; returns the log of the factor taken out. `scale` and `outlier` as for
// emissions.
double blurEmissions(double x, const HmmModel& m, std::span<double> pure, std::span<double> mix,
                     double scale = 1, double* outlier = nullptr);

}  // namespace lumetra
