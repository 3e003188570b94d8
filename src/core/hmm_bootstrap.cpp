#include "hmm_bootstrap.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <span>
#include <thread>

#include "hmm_model_checks.hpp"
#include "hmm_start.hpp"
#include "random.hpp"

namespace lumetra {

std::vector<std::uint32_t> resampleCounts(std::size_t traces, std::size_t resamples,
                                          std::uint64_t seed) {
  std::vector<std::uint32_t> counts(resamples * traces, 0);
  Random random(seed);
  for (std::size_t r = 0; r < resamples; ++r) {
    for (std::size_t i = 0; i < traces; ++i) counts[r * traces + random.index(traces)] += 1;
  }
  return counts;
}

void forEachResample(std::size_t resamples, unsigned threads,
                     const std::function<void(std::size_t)>& one) {
  std::atomic<std::size_t> next{0};
  std::exception_ptr failure;
  std::mutex failureLock;
  auto work = [&] {
    for (std::size_t r = next++; r < resamples; r = next++) {
      try {
        one(r);
      } catch (...) {
        const std::lock_guard lock(failureLock);
        if (!failure) failure = std::current_exception();
      }
    }
  };
  unsigned count = threads != 0 ? threads : std::max(1U, std::thread::hardware_concurrency());
  count = static_cast<unsigned>(std::clamp<std::size_t>(resamples, 1, count));
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < count; ++t) pool.emplace_back(work);
  work();
  for (std::thread& thread : pool) thread.join();
  if (failure) std::rethrow_exception(failure);
}

std::vector<HmmModel> bootstrapHmm(TraceSpans traces, const HmmModel& full,
                                   const HmmBootstrapOptions& options) {
  hmmdetail::checkInput(traces, full);  // once, before any thread starts
  const std::size_t n = traces.size();
  const std::vector<std::uint32_t> counts = resampleCounts(n, options.resamples, options.seed);

  std::vector<HmmModel> models(options.resamples);
  HmmOptions weighted = options.fit;
  weighted.threads = 1;
  forEachResample(options.resamples, options.threads, [&](std::size_t r) {
    // A trace drawn k times is fitted once, counted k times: the same fit, k times cheaper.
    const std::uint32_t* const times = &counts[r * n];
    std::vector<std::span<const double>> resample;
    HmmModel start = full;  // each trace drawn with its noise scale
    HmmOptions fit = weighted;
    start.traceScales.clear();
    for (std::size_t i = 0; i < n; ++i) {
      if (times[i] == 0) continue;
      resample.push_back(traces[i]);
      fit.traceWeights.push_back(static_cast<double>(times[i]));
      if (!full.traceScales.empty()) start.traceScales.push_back(full.traceScales[i]);
    }
    models[r] = orderedByMean(fitHmm(resample, start, fit).model);
  });
  return models;
}

}  // namespace lumetra
