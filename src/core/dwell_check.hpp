// Checks of a kinetic model against the dwell times of idealised paths, in frames: the runs of a
// path of levels, the distribution of the time spent on a level that a rate matrix implies (a
// level may hold several kinetic states, so it is a sum of exponentials), the Cramér-von Mises
// distance between dwells and a distribution, and mixtures of geometric distributions (discrete
// exponentials) fitted to the dwells of a level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lumetra {

struct LevelRun {
  std::int64_t level;
  std::size_t frames;
  bool censored;  // the first or last run of the path: begun before or cut off by the recording
};

// The runs of equal values of one path of levels, in order (none for an empty path).
std::vector<LevelRun> levelDwells(std::span<const std::int64_t> levels);

// F(d) = Pr(D <= d) for d = 0..maxFrames, D the number of frames the state at each frame's end
// stays on `level` once it entered it, under the rate matrix Q (k x k, row-major, per unit of
// frameTime) whose state i lies on level stateLevels[i]. With P = exp(Q frameTime), p the
// stationary distribution (the long-run share of each state from a uniform start), m the
// level's states, pi_j ∝ sum_{i not in m} p_i P_ij the entry distribution over j in m and P_mm
// the block of P within m: Pr(D >= d) = pi P_mm^(d-1) 1 for d >= 1. Every value is NaN when the
// model never enters the level (it holds every state, or none outside it leads into it).
// Throws std::invalid_argument when Q is not a rate matrix (finite, off-diagonal >= 0, rows
// summing to 0) of stateLevels.size() states, no state lies on `level`, or frameTime is not
// finite and > 0.
std::vector<double> levelDwellCdf(std::span<const double> rates,
                                  std::span<const std::int64_t> stateLevels, std::int64_t level,
                                  double frameTime, std::size_t maxFrames);

// The Cramér-von Mises distance omega^2 = 1 / (12 n^2) + (1 / n) sum_i (F(x_(i)) - (2i - 1) /
// (2n))^2 of n dwells x (frames, sorted here) from the discrete distribution cdf[d] = F(d),
// d = 0..max. F(x) is read at the middle of its jump at x, (F(x - 1) + F(x)) / 2, so that a sample
// that follows F exactly lies near 0: its ties leave about sum_x (F(x) - F(x - 1))^3 / 12.
// Throws std::invalid_argument for no dwell, or one outside 1..max.
double cramerVonMises(std::span<const std::int64_t> dwells, std::span<const double> cdf);

// The most components of a dwell mixture: a level of up to three kinetic states.
inline constexpr std::size_t kMaxDwellComponents = 3;

struct GeometricMixture {
  std::vector<double> weights;     // summing to 1
  std::vector<double> meanFrames;  // of each component (>= 1), ascending
  double logLikelihood = 0;
  double bic = 0;  // -2 logLikelihood + (2 components - 1) ln n
  int iterations = 0;
};

// A mixture of `components` geometric distributions on 1, 2, ... fitted to the dwells (frames,
// each >= 1) by maximum likelihood: expectation-maximisation from the means of equal-count
// groups of the sorted dwells. Throws std::invalid_argument for no dwell, a dwell < 1, or a
// number of components outside 1..kMaxDwellComponents.
GeometricMixture fitGeometricMixture(std::span<const std::int64_t> dwells, std::size_t components);

struct GeometricMixtures {
  std::vector<GeometricMixture> fits;  // 1, 2, ... components
  std::size_t chosen = 0;              // the index of the smallest BIC
};

// Mixtures of 1 to maxComponents components (at most as many as the dwells have distinct
// lengths) and the one BIC picks; throws as fitGeometricMixture.
GeometricMixtures fitGeometricMixtures(std::span<const std::int64_t> dwells,
                                       std::size_t maxComponents = kMaxDwellComponents);

// F(d) = sum_k w_k (1 - (1 - 1 / mean_k)^d) for d = 0..maxFrames. Throws std::invalid_argument
// when the sizes differ, a weight is negative or a mean below 1.
std::vector<double> geometricMixtureCdf(std::span<const double> weights,
                                        std::span<const double> meanFrames, std::size_t maxFrames);

}  // namespace lumetra
