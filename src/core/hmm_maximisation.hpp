// The internals of the shared hidden Markov model's Baum-Welch (hmm.hpp): the sufficient
// statistics an E-step gathers and the M-step that makes a model of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "hmm.hpp"

namespace lumetra::hmmdetail {

// Below this occupancy (in frames) a state counts as empty.
inline constexpr double kEmpty = 1e-9;
// The fitted outlier share stays within these.
inline constexpr double kMinOutlierShare = 1e-6;
inline constexpr double kMaxOutlierShare = 0.5;

// Sufficient statistics of the E-step; occupancies and sums count the Gaussian (inlier) part of
// each frame's posterior. `perTrace`: (trace, state) -> occupancy, sum x, sum x^2, when the
// trace scales are fitted.
struct Tally {
  Tally(std::size_t k, std::size_t traces)
      : start(k), transitions(k * k), occupancy(k), sumX(k), sumXX(k), perTrace(3 * k * traces) {}
  std::vector<double> start, transitions, occupancy, sumX, sumXX, perTrace;
  double logLikelihood = 0;

  // The emission tallies pooled over the states of each level (`levelOf`, `levels` of them).
  [[nodiscard]] Tally byLevel(const std::vector<std::size_t>& levelOf, std::size_t levels) const {
    const std::size_t k = occupancy.size(), traces = perTrace.size() / (3 * k);
    Tally out(levels, traces);
    for (std::size_t s = 0; s < k; ++s) {
      const std::size_t l = levelOf[s];
      out.occupancy[l] += occupancy[s];
      out.sumX[l] += sumX[s];
      out.sumXX[l] += sumXX[s];
      for (std::size_t n = 0; n < traces; ++n) {
        for (std::size_t i = 0; i < 3; ++i) {
          out.perTrace[3 * (n * levels + l) + i] += perTrace[3 * (n * k + s) + i];
        }
      }
    }
    return out;
  }
  double outliers = 0;  // frames' posterior share of the outlier term

  // A frame's inlier weight w of state s in trace n.
  void addFrame(std::size_t n, std::size_t s, double w, double x) {
    occupancy[s] += w;
    sumX[s] += w * x;
    sumXX[s] += w * x * x;
    if (perTrace.empty()) return;
    double* at = &perTrace[3 * (n * occupancy.size() + s)];
    at[0] += w;
    at[1] += w * x;
    at[2] += w * x * x;
  }

  // `w` times the tally of one trace (its per-trace tallies in slot 0) added, those per-trace
  // tallies going to slot `slot`.
  void addScaled(const Tally& one, double w, std::size_t slot) {
    auto plus = [w](std::vector<double>& a, const std::vector<double>& b, std::size_t at) {
      for (std::size_t i = 0; i < b.size(); ++i) a[at + i] += w * b[i];
    };
    plus(start, one.start, 0);
    plus(transitions, one.transitions, 0);
    plus(occupancy, one.occupancy, 0);
    plus(sumX, one.sumX, 0);
    plus(sumXX, one.sumXX, 0);
    if (!perTrace.empty()) plus(perTrace, one.perTrace, 3 * occupancy.size() * slot);
    logLikelihood += w * one.logLikelihood;
    outliers += w * one.outliers;
  }

  void add(const Tally& other) {
    auto plus = [](std::vector<double>& a, const std::vector<double>& b) {
      for (std::size_t i = 0; i < a.size(); ++i) a[i] += b[i];
    };
    plus(start, other.start);
    plus(transitions, other.transitions);
    plus(occupancy, other.occupancy);
    plus(sumX, other.sumX);
    plus(sumXX, other.sumXX);
    plus(perTrace, other.perTrace);
    logLikelihood += other.logLikelihood;
    outliers += other.outliers;
  }
};

// The rates a fit of the transitions as rates starts from: the model's, or the nearest valid
// rate matrix of its transition matrix (P - I when it has no logarithm); rates not free zero.
std::vector<double> startRates(const HmmModel& m, const std::vector<std::uint8_t>& free);

// The M-step from the tallies of `frames` frames (`floor`: the smallest spread); states without
// occupancy keep what they had and are listed in `empty`.
HmmModel maximisation(const Tally& t, const HmmModel& old, const HmmOptions& options, double floor,
                      std::size_t frames, std::vector<std::size_t>& empty);

// The spread of all non-NaN frames (the scale of the smallest spread a fit allows).
double dataSpread(TraceSpans traces);

// The E-step's tallies of each trace apart (no per-trace tallies), split over threads.
std::vector<Tally> traceTallies(TraceSpans traces, const HmmModel& m, unsigned threads, bool blur);

}  // namespace lumetra::hmmdetail
