// A Gaussian hidden Markov model shared by many traces: the molecules of one experiment follow
// one kinetic scheme, so every trace has the same K states (a mean and a spread each), the same
// transition matrix between frames and the same start distribution. Fitted by Baum-Welch with
// scaled forward-backward recursions; the traces of the E-step are split over threads.
// Optionally each trace reads the spreads through a noise scale of its own (molecules differ in
// brightness, so in noise), and frames that no state explains (a blink the masks missed) are
// taken by a flat outlier density.
// An aggregated model lets several kinetic states share one FRET level (its mean and spread):
// the time spent on a level is then a sum of exponentials. Its transitions may be fitted as the
// exponential of a rate matrix with chosen rates held at zero (rate_fit.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lumetra {

struct HmmModel {
  std::vector<double> means;       // per state
  std::vector<double> spreads;     // standard deviation per state (all equal when shared)
  std::vector<double> start;       // probability of each state at a trace's first frame
  std::vector<double> transition;  // row-major K x K: P(state j at frame t + 1 | i at t)
  // Per trace, the factor its spreads are multiplied by; empty: 1 for every trace.
  std::vector<double> traceScales{};
  // Each frame's density is (1 - outlierShare) N(x; mean, spread) + outlierShare outlierDensity;
  // outlierDensity 0: no outlier term (the share is then ignored).
  double outlierShare = 0;
  double outlierDensity = 0;
  // The level of each state (states of one level share its mean and spread; levels numbered
  // 0 ... L - 1, each with a state); empty: every state a level of its own.
  std::vector<std::size_t> levelOf{};
  // The rate matrix per frame (k x k) whose exponential the transition matrix is, when the
  // transitions are fitted as rates (HmmOptions::freeRates); empty otherwise.
  std::vector<double> rates{};

  [[nodiscard]] std::size_t states() const { return means.size(); }
  [[nodiscard]] double traceScale(std::size_t trace) const {
    return traceScales.empty() ? 1.0 : traceScales[trace];
  }
  [[nodiscard]] std::size_t level(std::size_t state) const {
    return levelOf.empty() ? state : levelOf[state];
  }
};

struct HmmOptions {
  bool sharedSpread = true;  // one spread for all states, or one per state
  int maxIterations = 1000;  // Baum-Welch iterations at most
  double tolerance = 1e-9;   // stop when the log-likelihood gains less than this per frame
  double minSpread = 1e-12;  // spreads never fall below this times the data's spread
  unsigned threads = 0;      // E-step threads; 0: one per hardware thread
  // Frame blur: the hidden state is the state at the end of each frame, and a frame in which
  // it changed from i to j holds a mix of the two levels, the share of each uniform in [0, 1]
  // (a camera that integrates each frame; two changes in one frame are not modelled). The
  // transition matrix is then exp(Q dt) of the underlying rate matrix Q. Means and spreads
  // are estimated from the frames without a change.
  bool frameBlur = false;
  // Fit a noise scale per trace (levels shared; missing scales start at 1). The scales are
  // normalised to a frame-weighted geometric mean of 1, the factor going into the spreads,
  // and then held within [1 / maxTraceScale, maxTraceScale], so that a short trace cannot shrink
  // its scale towards zero and pull the levels to its own frames.
  bool fitTraceScales = false;
  double maxTraceScale = 10;
  // Fit the outlier share (kept within [1e-6, 0.5]); the outlier density stays as given.
  bool fitOutliers = false;
  // k x k, non-zero where a rate i -> j may be non-zero: the transition matrix is then fitted
  // as exp(Q) of a rate matrix Q per frame with the other rates zero (the model's rates, or the
  // nearest valid rate matrix of its transitions, start it). Empty: a free transition matrix.
  std::vector<std::uint8_t> freeRates{};
  // Squared extrapolation between EM steps (hmm_acceleration.hpp): the same fixed point in far
  // fewer iterations where plain EM crawls; iterations count the E-steps either way.
  bool accelerate = true;
  // How many times each trace counts (a bootstrap resample's repeats: a trace drawn twice is
  // the same as one counted twice), each > 0; empty: once each. The frames the fit reports and
  // its tolerance count each trace's frames as often.
  std::vector<double> traceWeights{};
};

struct HmmFit {
  HmmModel model;
  double logLikelihood = 0;              // of all traces under the fitted model
  int iterations = 0;                    // Baum-Welch iterations made
  bool converged = false;                // the gain fell below the tolerance
  std::size_t frames = 0;                // non-NaN frames of all traces
  std::vector<std::size_t> emptyStates;  // states that no frame occupied at the end: their
                                         // mean, spread and transition row kept as they were
};

// The traces as spans; NaN frames carry no observation (the chain still moves through them).
using TraceSpans = std::span<const std::span<const double>>;

// Baum-Welch from `initial`. Throws std::invalid_argument for a malformed model (sizes that do
// not match, probabilities that are negative or do not sum to 1, spreads <= 0), for no trace
// or a trace without frames, or when no trace has a non-NaN frame.
HmmFit fitHmm(TraceSpans traces, const HmmModel& initial, const HmmOptions& options = {});

// The log-likelihood of the traces under the model (same checks), with or without frame blur.
double hmmLogLikelihood(TraceSpans traces, const HmmModel& model, unsigned threads = 0,
                        bool frameBlur = false);

// The most likely state of every frame of one trace (Viterbi), states numbered as the model's;
// with frame blur the state at the end of each frame. `scale`: the trace's noise scale
// (model.traceScale(n) for trace n of the fit).
std::vector<std::size_t> viterbiPath(std::span<const double> trace, const HmmModel& model,
                                     bool frameBlur = false, double scale = 1);

// Free parameters of an aggregated model: states - 1 start, the free rates, a mean per level and
// one spread or one per level, the trace scales and outlier share as below.
std::size_t schemeParameterCount(std::size_t states, std::size_t levels, std::size_t freeRates,
                                 bool sharedSpread, std::size_t scaledTraces = 0,
                                 bool outlierShare = false);

// Free parameters of a K-state model: K - 1 start, K (K - 1) transition, K means, one spread or
// K of them, and with fitted trace scales traces - 1 of them (`scaledTraces`: the number of
// traces, 0 when the scales are not fitted), with a fitted outlier share one more.
std::size_t hmmParameterCount(std::size_t states, bool sharedSpread, std::size_t scaledTraces = 0,
                              bool outlierShare = false);

}  // namespace lumetra
