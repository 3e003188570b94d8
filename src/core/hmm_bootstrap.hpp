// The spread of a shared hidden Markov model (hmm.hpp) over molecules: the traces are resampled
// with replacement and the model refitted on each resample, warm-started from the fit of all
// traces. Resamples are split over threads; the result depends only on the seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "hmm.hpp"

namespace lumetra {

struct HmmBootstrapOptions {
  std::size_t resamples = 200;
  std::uint64_t seed = 0;
  unsigned threads = 0;  // resamples at once; 0: one per hardware thread
  HmmOptions fit;        // of each refit; its own threads are ignored (one per resample)
};

// How often each trace is drawn in each resample (resamples x traces, row-major): resample r
// draws `traces` indices uniformly with replacement, from one generator seeded with `seed`,
// resample after resample, so neither the threads nor the standard library change it.
std::vector<std::uint32_t> resampleCounts(std::size_t traces, std::size_t resamples,
                                          std::uint64_t seed);

// Calls one(r) for every resample r < resamples, taken in turn by `threads` threads (0: one per
// hardware thread); the first exception a call throws is thrown again once every call has ended.
void forEachResample(std::size_t resamples, unsigned threads,
                     const std::function<void(std::size_t)>& one);

// One fitted model per resample (resampleCounts), its states numbered by ascending mean.
// Each resampled trace keeps its noise scale of `full` as the refit's start; a trace drawn k times
// is fitted once, counted k times (HmmOptions::traceWeights), its scale then one for all k. Throws
// as fitHmm for malformed input.
std::vector<HmmModel> bootstrapHmm(TraceSpans traces, const HmmModel& full,
                                   const HmmBootstrapOptions& options = {});

}  // namespace lumetra
