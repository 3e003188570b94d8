#include "differential_evolution.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>

#include "random.hpp"

namespace lumetra {

namespace {

class Population {
 public:
  Population(const Objective& objective, std::span<const std::pair<double, double>> bounds,
             const EvolutionSettings& settings)
      : objective_(objective),
        bounds_(bounds),
        settings_(settings),
        random_(settings.seed),
        size_(std::max<std::size_t>(5, settings.populationPerParameter * bounds.size())),
        order_(size_) {
    std::iota(order_.begin(), order_.end(), std::size_t{0});
  }

  // Latin hypercube: every parameter's unit range cut into one stratum per member, each member
  // drawn inside its own stratum of every parameter, the strata shuffled per parameter.
  bool start() {
    const std::size_t n = bounds_.size();
    members_.assign(size_ * n, 0);
    std::vector<std::size_t> strata(size_);
    for (std::size_t p = 0; p < n; ++p) {
      std::iota(strata.begin(), strata.end(), std::size_t{0});
      shuffle(strata);
      for (std::size_t m = 0; m < size_; ++m) {
        members_[m * n + p] =
            (static_cast<double>(strata[m]) + random_.uniform()) / static_cast<double>(size_);
      }
    }
    scores_.assign(size_, std::numeric_limits<double>::infinity());  // none evaluated yet
    for (std::size_t m = 0; m < size_; ++m) {
      if (exhausted()) return false;
      scores_[m] = evaluate(member(m));
    }
    promoteBest();
    return true;
  }

  // One generation; false when the evaluation limit stopped it.
  bool generation() {
    const std::size_t n = bounds_.size();
    const double scale = settings_.mutationLow +
                         (settings_.mutationHigh - settings_.mutationLow) * random_.uniform();
    std::vector<double> trial(n);
    for (std::size_t candidate = 0; candidate < size_; ++candidate) {
      if (exhausted()) return false;
      const auto [r0, r1] = twoOthers(candidate);
      const std::size_t fill = random_.index(n);
      for (std::size_t p = 0; p < n; ++p) {
        const bool fromMutant = random_.uniform() < settings_.recombination || p == fill;
        trial[p] = fromMutant ? members_[p] + scale * (members_[r0 * n + p] - members_[r1 * n + p])
                              : members_[candidate * n + p];
      }
      for (double& v : trial) {
        if (v < 0 || v > 1) v = random_.uniform();  // a mutant outside the box: drawn anew
      }
      const double score = evaluate(trial);
      if (score <= scores_[candidate]) {
        std::copy(trial.begin(), trial.end(), row(candidate).begin());
        scores_[candidate] = score;
        if (score <= scores_[0]) promoteBest();
      }
    }
    return true;
  }

  [[nodiscard]] bool converged() const {
    double sum = 0;
    for (double s : scores_) {
      if (std::isinf(s)) return false;
      sum += s;
    }
    const double mean = sum / static_cast<double>(size_);
    double squares = 0;
    for (double s : scores_) squares += (s - mean) * (s - mean);
    return std::sqrt(squares / static_cast<double>(size_)) <=
           settings_.relativeTolerance * std::abs(mean);
  }

  [[nodiscard]] EvolutionResult result(std::size_t generations, bool converged) const {
    EvolutionResult out;
    out.best = scaled(member(bestIndex()));
    out.score = scores_[bestIndex()];
    out.evaluations = evaluations_;
    out.generations = generations;
    out.converged = converged;
    return out;
  }

 private:
  [[nodiscard]] std::span<const double> member(std::size_t m) const {
    const std::size_t n = bounds_.size();
    return std::span<const double>(members_).subspan(m * n, n);
  }

  std::span<double> row(std::size_t m) {
    const std::size_t n = bounds_.size();
    return std::span<double>(members_).subspan(m * n, n);
  }

  [[nodiscard]] std::vector<double> scaled(std::span<const double> unit) const {
    std::vector<double> out(unit.size());
    for (std::size_t p = 0; p < unit.size(); ++p) {
      const auto [lo, hi] = bounds_[p];
      out[p] = 0.5 * (lo + hi) + (unit[p] - 0.5) * std::abs(hi - lo);
    }
    return out;
  }

  double evaluate(std::span<const double> unit) {
    ++evaluations_;
    return objective_(scaled(unit));
  }

  [[nodiscard]] bool exhausted() const { return evaluations_ >= settings_.maxEvaluations; }

  void shuffle(std::vector<std::size_t>& v) {
    for (std::size_t i = v.size(); i > 1; --i) std::swap(v[i - 1], v[random_.index(i)]);
  }

  std::pair<std::size_t, std::size_t> twoOthers(std::size_t candidate) {
    shuffle(order_);
    std::array<std::size_t, 2> picked{};
    std::size_t count = 0;
    for (std::size_t i = 0; count < picked.size(); ++i) {
      if (order_[i] != candidate) picked.at(count++) = order_[i];
    }
    return {picked[0], picked[1]};
  }

  [[nodiscard]] std::size_t bestIndex() const {
    return static_cast<std::size_t>(std::min_element(scores_.begin(), scores_.end()) -
                                    scores_.begin());
  }

  // The best member moves to the front, where the mutation takes its base from.
  void promoteBest() {
    const std::size_t best = bestIndex();
    if (best == 0) return;
    std::swap(scores_[0], scores_[best]);
    const std::span<double> front = row(0), other = row(best);
    std::swap_ranges(front.begin(), front.end(), other.begin());
  }

  const Objective& objective_;
  std::span<const std::pair<double, double>> bounds_;
  const EvolutionSettings& settings_;
  Random random_;
  std::size_t size_;
  std::vector<std::size_t> order_;
  std::vector<double> members_;  // size_ rows of the unit cube, one per member
  std::vector<double> scores_;
  std::size_t evaluations_ = 0;
};

}  // namespace

EvolutionResult evolve(const Objective& objective,
                       std::span<const std::pair<double, double>> bounds,
                       const EvolutionSettings& settings) {
  if (bounds.empty()) throw std::invalid_argument("differential evolution needs a parameter");
  for (const auto& [lo, hi] : bounds) {
    if (!(lo < hi) || !std::isfinite(lo) || !std::isfinite(hi)) {
      throw std::invalid_argument("every parameter needs finite bounds with min < max");
    }
  }
  if (settings.maxEvaluations == 0) throw std::invalid_argument("no evaluation allowed");
  Population population(objective, bounds, settings);
  if (!population.start()) return population.result(0, false);
  std::size_t generations = 0;
  while (true) {
    if (!population.generation()) return population.result(generations, false);
    ++generations;
    if (population.converged()) return population.result(generations, true);
  }
}

}  // namespace lumetra
