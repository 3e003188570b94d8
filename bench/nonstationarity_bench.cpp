#include <benchmark/benchmark.h>

#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "nonstationarity.hpp"

namespace {

using lumetra::NonStationary;
using lumetra::NsAlgo;

constexpr std::size_t kWindows = 100000;

std::vector<double> whiteNoise(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> out(n);
  for (double& x : out) x = normal(rng);
  return out;
}

double mean(const std::vector<double>& v) {
  return std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
}

// Mean NSLocaltoGlobal score over 100,000 full windows of unit white noise (the trace holds
// exactly that many windows); sigma is the robust estimate from the trace itself.  Expected ~1.
void BM_WhiteNoiseMeanScore(benchmark::State& state) {
  const auto len = static_cast<std::ptrdiff_t>(state.range(0));
  NonStationary ns;
  ns.setupDS(len);
  ns.setData(whiteNoise(kWindows + static_cast<std::size_t>(len) - 1,
                        1000 + static_cast<std::uint64_t>(len)));
  std::vector<double> out(kWindows);
  for (auto _ : state) {
    ns.stream(NsAlgo::LocalToGlobal, len, out);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.counters["mean_score"] = mean(out);
  state.counters["sigma_est"] = ns.sigma();
}
BENCHMARK(BM_WhiteNoiseMeanScore)->Arg(11)->Arg(19)->Arg(43)->Unit(benchmark::kMillisecond);

// Mean NSLocaltoGlobal score of a 2-sigma step at the centre of a 19-sample window, over 1,000
// draws.  Each draw is a 2,000-sample unit-noise trace whose level rises by 2 from sample 1000 on;
// sigma is estimated from that whole trace (the single step barely moves the robust estimate) and
// the window is [991, 1010), whose 9 | 10 centre split falls on the step.
// Expected 1 + 2^2 * 9 * 10 / 19 = 19.9.
void BM_CentredStepMeanScore(benchmark::State& state) {
  constexpr int kDraws = 1000;
  constexpr std::size_t kTrace = 2000;
  constexpr std::size_t kStepAt = 1000;
  double meanScore = 0.0;
  for (auto _ : state) {
    std::mt19937_64 rng(42);
    std::normal_distribution<double> normal(0.0, 1.0);
    NonStationary ns;
    ns.setupDS(19);
    double total = 0.0;
    for (int draw = 0; draw < kDraws; ++draw) {
      std::vector<double> trace(kTrace);
      for (std::size_t i = 0; i < kTrace; ++i) trace[i] = normal(rng) + (i >= kStepAt ? 2.0 : 0.0);
      ns.setData(std::move(trace));
      total += ns.nsFuncRange(NsAlgo::LocalToGlobal, kStepAt - 9, kStepAt + 10);
    }
    meanScore = total / kDraws;
    benchmark::DoNotOptimize(meanScore);
  }
  state.counters["mean_score"] = meanScore;
  state.counters["expected"] = 1.0 + 4.0 * 9.0 * 10.0 / 19.0;
}
BENCHMARK(BM_CentredStepMeanScore)->Unit(benchmark::kMillisecond)->Iterations(3);

// stream() over a 100,000-sample trace at window length 19; arg = NsAlgo.
void BM_Stream(benchmark::State& state) {
  const auto algo = static_cast<NsAlgo>(state.range(0));
  NonStationary ns;
  ns.setupDS(19);
  ns.setData(whiteNoise(kWindows, 7));
  std::vector<double> out(kWindows);
  for (auto _ : state) {
    ns.stream(algo, 19, out);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kWindows));
}
BENCHMARK(BM_Stream)
    ->ArgName("algo")
    ->Arg(static_cast<int>(NsAlgo::LocalToGlobal))
    ->Arg(static_cast<int>(NsAlgo::LeftToRight))
    ->Arg(static_cast<int>(NsAlgo::Dichotomy))
    ->Arg(static_cast<int>(NsAlgo::CircleLeftToRight))
    ->Unit(benchmark::kMillisecond);

// The once-per-trace preparation: setData on a 100,000-sample trace.
void BM_SetData(benchmark::State& state) {
  const auto trace = whiteNoise(kWindows, 9);
  NonStationary ns;
  ns.setupDS(19);
  for (auto _ : state) {
    ns.setData(trace);
    benchmark::DoNotOptimize(ns.sigma());
  }
}
BENCHMARK(BM_SetData)->Unit(benchmark::kMillisecond);

}  // namespace
