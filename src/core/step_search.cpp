#include "step_search.hpp"

#include <cmath>
#include <map>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "all_frames.hpp"
#include "criterion.hpp"
#include "step_fit.hpp"

namespace lumetra {

namespace {

constexpr double kRejected = static_cast<double>(kRejectedFit);

// The score of one setting, with the streams of every half window seen kept for the next.
class StepObjective {
 public:
  StepObjective(std::span<const double> frames, std::span<const double> intensity,
                const NonStationary& stream, const StepSearchSettings& settings)
      : frames_(frames),
        intensity_(intensity),
        stream_(stream),
        settings_(settings),
        costs_(intensity) {}

  // `angles`: the search's variables, one per parameter.
  double operator()(std::span<const double> angles) {
    std::array<double, 4> v{};
    for (std::size_t p = 0; p < v.size(); ++p) v[p] = value(p, angles[p]);
    // Python's round: to the nearest integer, ties to even (the default rounding mode).
    const double h = std::nearbyint(v[0]);
    if (!(2 * h + 1 <= static_cast<double>(intensity_.size()))) return kRejected;
    if (h < 1) throw StepFitUnsupported("half window below 1");
    const auto halfWinLen = static_cast<std::ptrdiff_t>(h);
    const StepFitSettings fitSettings{halfWinLen, v[1], v[2], std::nearbyint(v[3])};
    fitFromStreams(frames_, intensity_, NaNRule::skip, streams(halfWinLen), fitSettings, fit_);
    if (fit_.partitions.size() < settings_.stateNum) return kRejected;
    std::optional<double> score;
    if (settings_.allFrames) {
      try {
        score = segmentsBic(costs_,
                            coveringSegments(costs_, mergedPartitions(costs_, fit_.partitions)));
      } catch (const std::domain_error&) {
        return kRejected;  // no frame to score
      }
    } else {
      score = scoreStepFit(fit_.partitions, intensity_, PeakIndex(fit_.pairs), fit_.pairs.size());
      if (!score) return kRejected;
    }
    // A residual sum of 0: the step-by-step fit has numpy's warning for it.
    if (std::isinf(*score)) throw StepFitUnsupported("a fit without residuals");
    return *score;
  }

  // lmfit's value of a bounded parameter at the search's variable x.
  [[nodiscard]] double value(std::size_t p, double x) const {
    const double lo = settings_.min[p], hi = settings_.max[p];
    return lo + (std::sin(x) + 1) * (hi - lo) / 2;
  }

  [[nodiscard]] std::size_t halfWindows() const { return cache_.size(); }

 private:
  const WindowStreams& streams(std::ptrdiff_t halfWinLen) {
    auto found = cache_.find(halfWinLen);
    if (found == cache_.end()) {
      found = cache_
                  .emplace(halfWinLen,
                           windowStreams(frames_, intensity_, NaNRule::skip, stream_, halfWinLen))
                  .first;
    }
    return found->second;
  }

  std::span<const double> frames_;
  std::span<const double> intensity_;
  const NonStationary& stream_;
  const StepSearchSettings& settings_;
  RangeCosts costs_;
  std::map<std::ptrdiff_t, WindowStreams> cache_;
  StepFit fit_;  // reused: its vectors keep their storage between settings
};

}  // namespace

StepSearchResult searchStepFit(std::span<const double> frames, std::span<const double> intensity,
                               const NonStationary& stream, const StepSearchSettings& settings) {
  for (std::size_t p = 0; p < settings.min.size(); ++p) {
    if (!(settings.min[p] < settings.max[p])) {
      throw std::invalid_argument(std::string(kSearchParameters[p].name) +
                                  ": the search needs min < max");
    }
  }
  StepObjective objective(frames, intensity, stream, settings);
  const std::vector<std::pair<double, double>> angles(
      settings.min.size(), {-std::numbers::pi / 2, std::numbers::pi / 2});
  const EvolutionResult found =
      evolve([&](std::span<const double> x) { return objective(x); }, angles, settings.evolution);
  StepSearchResult out;
  for (std::size_t p = 0; p < out.values.size(); ++p)
    out.values[p] = objective.value(p, found.best[p]);
  out.score = found.score;
  out.evaluations = found.evaluations;
  out.generations = found.generations;
  out.converged = found.converged;
  out.halfWindows = objective.halfWindows();
  return out;
}

}  // namespace lumetra
