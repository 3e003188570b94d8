// One Baum-Welch iteration of the shared hidden Markov model in the configuration the package
// fits by default (frame blur, per-trace noise scales, the outlier term) on 100 simulated traces
// of 1200 frames, on one thread: two states with a shared spread, four with spreads of their
// own, and three states on two levels with rates fitted.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "hmm.hpp"

namespace {

using lumetra::HmmModel;
using lumetra::HmmOptions;

constexpr std::size_t kTraces = 100;
constexpr std::size_t kFrames = 1200;
constexpr int kIterations = 5;
constexpr double kStay = 0.97;  // chance of a state to last another frame

// A sticky chain over the model's states read through Gaussian noise, scaled per trace.
std::vector<std::vector<double>> simulate(const HmmModel& m, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::normal_distribution<double> normal(0.0, 1.0);
  const std::size_t k = m.states();
  std::uniform_int_distribution<std::size_t> hop(1, k - 1);
  std::vector<std::vector<double>> traces(kTraces, std::vector<double>(kFrames));
  for (auto& trace : traces) {
    const double scale = 0.7 + 0.6 * uniform(rng);
    std::size_t s = 0;
    for (double& x : trace) {
      if (uniform(rng) > kStay) s = (s + hop(rng)) % k;
      x = m.means[s] + scale * m.spreads[s] * normal(rng);
    }
  }
  return traces;
}

HmmModel model(const std::vector<double>& means, const std::vector<double>& spreads) {
  const std::size_t k = means.size();
  HmmModel m{means, spreads, std::vector<double>(k, 1.0 / static_cast<double>(k)), {}};
  m.transition.assign(k * k, (1 - kStay) / static_cast<double>(k - 1));
  for (std::size_t i = 0; i < k; ++i) m.transition[i * k + i] = kStay;
  m.outlierShare = 0.01;
  m.outlierDensity = 1;
  return m;
}

void iterate(benchmark::State& state, const HmmModel& m, HmmOptions options) {
  const auto traces = simulate(m, 7);
  std::vector<std::span<const double>> spans(traces.begin(), traces.end());
  options.frameBlur = true;
  options.fitTraceScales = true;
  options.fitOutliers = true;
  options.threads = 1;
  options.maxIterations = kIterations;
  options.tolerance = -std::numeric_limits<double>::infinity();
  for (auto _ : state) benchmark::DoNotOptimize(lumetra::fitHmm(spans, m, options));
  state.SetItemsProcessed(state.iterations() * kIterations);  // items/s: iterations per second
}

void TwoStatesShared(benchmark::State& state) {
  iterate(state, model({0.3, 0.7}, {0.08, 0.08}), {});
}

void FourStatesOwnSpreads(benchmark::State& state) {
  HmmOptions options;
  options.sharedSpread = false;
  iterate(state, model({0.2, 0.4, 0.6, 0.8}, {0.05, 0.06, 0.07, 0.08}), options);
}

void ThreeStatesTwoLevels(benchmark::State& state) {
  HmmModel m = model({0.3, 0.3, 0.7}, {0.08, 0.08, 0.08});
  m.levelOf = {0, 0, 1};
  HmmOptions options;
  options.freeRates = {0, 1, 0, 1, 0, 1, 0, 1, 0};
  iterate(state, m, options);
}

BENCHMARK(TwoStatesShared)->Unit(benchmark::kMillisecond);
BENCHMARK(FourStatesOwnSpreads)->Unit(benchmark::kMillisecond);
BENCHMARK(ThreeStatesTwoLevels)->Unit(benchmark::kMillisecond);

}  // namespace
