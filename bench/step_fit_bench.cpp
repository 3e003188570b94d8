// The step fit of a 10,000-frame trace in the core alone, without any Python objects, and
// its parts.
#include <benchmark/benchmark.h>

#include "nonstationarity.hpp"
#include "simulate.hpp"
#include "step_fit.hpp"

namespace {

const lumetra::SimulatedTrace& trace() {
  static const lumetra::SimulatedTrace t = lumetra::simulateTrace({.levels = {300, 800, 1200},
                                                                   .meanDwell = {150, 150, 150},
                                                                   .noiseSigma = 60,
                                                                   .frames = 10'000,
                                                                   .frameStep = 0.1,
                                                                   .seed = 1});
  return t;
}

const lumetra::NonStationary& component() {
  static const lumetra::NonStationary ns = [] {
    lumetra::NonStationary n;
    n.setData(trace().intensity);
    return n;
  }();
  return ns;
}

constexpr lumetra::StepFitSettings kSettings{9, 0.177, 0.2, 0};

void BM_FitSteps(benchmark::State& state) {
  const auto& t = trace();
  std::size_t partitions = 0;
  for (auto _ : state) {
    auto fit =
        lumetra::fitSteps(t.time, t.intensity, lumetra::NaNRule::skip, component(), kSettings);
    partitions = fit.partitions.size();
    benchmark::DoNotOptimize(fit);
  }
  state.counters["partitions"] = static_cast<double>(partitions);
}
BENCHMARK(BM_FitSteps)->Unit(benchmark::kMillisecond);

void BM_FitStepsAndScore(benchmark::State& state) {
  const auto& t = trace();
  for (auto _ : state) {
    auto fit =
        lumetra::fitSteps(t.time, t.intensity, lumetra::NaNRule::skip, component(), kSettings);
    auto score = lumetra::scoreStepFit(fit.partitions, t.intensity, lumetra::PeakIndex(fit.pairs),
                                       fit.pairs.size());
    benchmark::DoNotOptimize(score);
  }
}
BENCHMARK(BM_FitStepsAndScore)->Unit(benchmark::kMillisecond);

void BM_MovingVariance(benchmark::State& state) {
  const auto& t = trace();
  for (auto _ : state) {
    auto v = lumetra::movingVariance(t.intensity, t.intensity.size(), 19, lumetra::NaNRule::skip);
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(BM_MovingVariance)->Unit(benchmark::kMillisecond);

void BM_AttachTrace(benchmark::State& state) {
  for (auto _ : state) {
    lumetra::NonStationary n;
    n.setData(trace().intensity);
    benchmark::DoNotOptimize(n);
  }
}
BENCHMARK(BM_AttachTrace)->Unit(benchmark::kMillisecond);

}  // namespace
