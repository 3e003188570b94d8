// A Gaussian hidden Markov model shared by many traces: the molecules of one experiment follow
// one kinetic scheme, so every trace has the same K states (a mean and a spread each), the same
// transition matrix between frames and the same start distribution. Fitted by Baum-Welch with
// scaled forward-backward recursions; the traces of the E-step are split over threads.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace lumetra {

struct HmmModel {
  std::vector<double> means;       // per state
  std::vector<double> spreads;     // standard deviation per state (all equal when shared)
  std::vector<double> start;       // probability of each state at a trace's first frame
  std::vector<double> transition;  // row-major K x K: P(state j at frame t + 1 | i at t)

  [[nodiscard]] std::size_t states() const { return means.size(); }
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
// with frame blur the state at the end of each frame.
std::vector<std::size_t> viterbiPath(std::span<const double> trace, const HmmModel& model,
                                     bool frameBlur = false);

// Free parameters of a K-state model: K - 1 start, K (K - 1) transition, K means, and one
// spread or K of them.
std::size_t hmmParameterCount(std::size_t states, bool sharedSpread);

}  // namespace lumetra
