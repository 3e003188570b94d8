// The step fit of one trace for one parameter setting: the moving variance and its second
// derivative, the nonstationarity stream, candidate pairs where the variance crosses its
// threshold, a slope-ratio test and a nonstationarity-peak test per candidate, the partitions
// between the accepted pairs and their spread, and the fit's score.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "criterion.hpp"
#include "nonstationarity.hpp"
#include "pairs.hpp"
#include "segment_stats.hpp"

namespace lumetra {

// The score of a fit with too few partitions, or with no frame left to score.
inline constexpr long long kRejectedFit = 9999999999LL;

struct StepFitSettings {
  std::ptrdiff_t halfWinLen;  // window length 2 * halfWinLen + 1
  double rratio;              // a candidate's slope ratio must exceed this
  double thrate;              // variance threshold: mean + thrate * |mean|
  double filterWidth;         // narrowest pair kept; 0 derives it from halfWinLen
};

// The test of one candidate pair (one kept by the width filter).
struct CandidateTest {
  std::vector<double> integral;  // running integral of the derivative over the pair
  std::optional<double> slope;   // middle-third slope; none for pairs under 6 frames
  std::optional<double> ratio;   // its ratio to the chord slope
  bool passedRatio = false;
  bool passedNS = false;
};

struct StepFit {
  std::vector<double> dataVar;
  std::vector<double> dataNS;
  double thresholdVar = 0;
  std::vector<Pair> pairs;
  std::vector<std::size_t> kept;  // positions in `pairs` of the pairs wide enough
  double thresholdNS = 0;
  std::vector<CandidateTest> candidates;  // one per kept pair
  std::vector<Pair> pairs3;               // the accepted pairs
  std::vector<Partition> partitions;
  std::vector<double> moments;  // standard deviation of each partition
};

// The fit meets an input it does not model exactly (a trace shorter than one window, a frame
// axis with repeated or non-finite times, a degenerate line fit, an empty or all-NaN segment):
// such fits are left to the step-by-step evaluation, which has the library's own warnings and
// errors for them.
class StepFitUnsupported : public std::domain_error {
 public:
  using std::domain_error::domain_error;
};

// What the half window alone decides: the moving variance, its second derivative over the
// frames the windows leave, the nonstationarity stream, the variance's mean and the stream's
// threshold. A search that tries many settings reuses them for every setting of one window.
struct WindowStreams {
  std::ptrdiff_t halfWinLen = 0;
  std::vector<double> dataVar;
  std::vector<double> dy;
  std::vector<double> dataNS;
  double varMean = 0;
  double thresholdNS = 0;
};

// The streams of one half window; throws StepFitUnsupported where fitSteps does.
WindowStreams windowStreams(std::span<const double> frames, std::span<const double> intensity,
                            NaNRule rule, const NonStationary& stream, std::ptrdiff_t halfWinLen);

// The rest of the fit from the streams of settings.halfWinLen: `fit` gets everything but
// dataVar, dataNS and thresholdNS.
void fitFromStreams(std::span<const double> frames, std::span<const double> intensity, NaNRule rule,
                    const WindowStreams& streams, const StepFitSettings& settings, StepFit& fit);

// Fits the trace (frames, intensity); `stream` has the intensity attached and computes the
// nonstationarity stream. `rule` says whether reductions over the intensity skip NaN.
StepFit fitSteps(std::span<const double> frames, std::span<const double> intensity, NaNRule rule,
                 const NonStationary& stream, const StepFitSettings& settings);

// thNS of a stream: three times its mean when that is positive, else twice the magnitude of its
// first smallest value.  Throws std::invalid_argument for an empty stream.
double streamThreshold(std::span<const double> ns);

// The information criterion of a fit against reference intervals; nothing when no frame of any
// partition lies outside them.
std::optional<double> scoreStepFit(std::span<const Partition> partitions,
                                   std::span<const double> intensity, const PeakIndex& references,
                                   std::size_t referenceCount);

}  // namespace lumetra
