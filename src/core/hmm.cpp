#include "hmm.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <thread>

#include "hmm_acceleration.hpp"
#include "hmm_emissions.hpp"
#include "hmm_maximisation.hpp"
#include "hmm_model_checks.hpp"
#include "hmm_source.hpp"

namespace lumetra {

namespace {

using hmmdetail::checkModel;
using hmmdetail::checkScaleCount;
using hmmdetail::checkTraces;
using hmmdetail::Tally;

// Fewer frames than this per thread are not worth a thread.
constexpr std::size_t kFramesPerThread = 20000;

// One thread's buffers for forward-backward, kept from trace to trace.
struct Workspace {
  std::vector<double> b, alpha, scale, mix, outlier, beta, next, earlier, share;
  std::vector<std::uint8_t> sameLevel;
};

// The share of an emission e that the outlier term holds, the term's part being `outlier`.
double outlierPart(double outlier, double e) { return outlier > 0 ? outlier / e : 0.0; }

// The forward pass over a trace whose spreads read through `noise`, with its emissions (worked out
// frame by frame as the pass goes, so that they overlap its chain of divisions); returns `logL`
// plus the trace's log-likelihood, added up as the emissions' factors in frame order, then the
// frames' normalisations in frame order.
double forward(std::span<const double> x, double noise, const HmmModel& m, bool blur,
               Workspace& work, double logL) {
  const std::size_t k = m.states(), kk = k * k;
  const std::size_t n = x.size();
  TraceEmissions emit(m, noise);
  work.b.resize(n * k);
  work.alpha.resize(n * k);
  work.scale.resize(n);
  work.outlier.resize(n);
  // With blur, mix[t][i][j] is the emission of frame t when the state went from i to j, its
  // diagonal the emission without a change.
  if (blur) work.mix.resize(n * kk);
  double* const alpha = work.alpha.data();
  double* const scale = work.scale.data();
  const double* const transition = m.transition.data();
  for (std::size_t t = 0; t < n; ++t) {
    const std::span<double> bt = std::span(work.b).subspan(t * k, k);
    const std::span<double> mt = blur ? std::span(work.mix).subspan(t * kk, kk) : bt;
    logL +=
        blur ? emit.blurred(x[t], bt, mt, &work.outlier[t]) : emit.pure(x[t], bt, &work.outlier[t]);
    double* const at = alpha + t * k;
    const double* const earlier = t > 0 ? at - k : nullptr;  // alpha of frame t - 1
    double sum = 0;
    if (t == 0) {
      for (std::size_t j = 0; j < k; ++j) {
        at[j] = m.start[j] * bt[j];
        sum += at[j];
      }
    } else if (!blur) {
      for (std::size_t j = 0; j < k; ++j) {
        double prior = 0;
        for (std::size_t i = 0; i < k; ++i) prior += earlier[i] * transition[i * k + j];
        at[j] = prior * bt[j];
        sum += at[j];
      }
    } else {
      for (std::size_t j = 0; j < k; ++j) {
        double prior = 0;
        for (std::size_t i = 0; i < k; ++i)
          prior += earlier[i] * transition[i * k + j] * mt[i * k + j];
        at[j] = prior;
        sum += at[j];
      }
    }
    // A frame no state can emit under the transitions still leaves every state open.
    if (!(sum > 0)) {
      for (std::size_t j = 0; j < k; ++j) at[j] = 1.0 / static_cast<double>(k);
      sum = std::numeric_limits<double>::min();
    } else {
      for (std::size_t j = 0; j < k; ++j) at[j] /= sum;
    }
    scale[t] = sum;
  }
  for (std::size_t t = 0; t < n; ++t) logL += std::log(scale[t]);
  return logL;
}

// Forward-backward over trace `index`, added to the tally (only the log-likelihood when `full`
// is false), its per-trace tallies in slot `slot`.
void forwardBackward(std::span<const double> x, std::size_t index, std::size_t slot,
                     const HmmModel& m, Tally& tally, bool full, bool blur, Workspace& work) {
  tally.logLikelihood = forward(x, m.traceScale(index), m, blur, work, tally.logLikelihood);
  if (!full) return;
  const std::size_t k = m.states(), kk = k * k;
  const std::size_t n = x.size();
  const double* const b = work.b.data();
  const double* const alpha = work.alpha.data();
  const double* const scale = work.scale.data();
  const double* const mix = work.mix.data();
  const double* const outlier = work.outlier.data();
  const double* const transition = m.transition.data();
  double* const transitions = tally.transitions.data();
  work.sameLevel.resize(kk);
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j < k; ++j)
      work.sameLevel[i * k + j] = m.level(i) == m.level(j) ? 1 : 0;
  }
  work.beta.assign(k, 1.0);
  work.next.resize(k);
  work.earlier.resize(k);
  work.share.resize(kk);
  std::vector<double>& beta = work.beta;
  double outliers = tally.outliers;
  for (std::size_t t = n; t-- > 0;) {
    const double* const a = alpha + t * k;
    const bool observed = !std::isnan(x[t]);
    for (std::size_t s = 0; s < k; ++s) {
      const double gamma = a[s] * beta[s];
      if (t == 0) tally.start[s] += gamma;
      // With blur only frames without a change inform the levels: those come with xi below.
      if (observed && (!blur || t == 0)) {
        const double out = outlierPart(outlier[t], b[t * k + s]);
        outliers += gamma * out;
        tally.addFrame(slot, s, out > 0 ? gamma * (1 - out) : gamma, x[t]);
      }
    }
    if (t == 0) break;
    // xi between frames t - 1 and t, and beta of frame t - 1.
    const double* const before = alpha + (t - 1) * k;
    for (std::size_t j = 0; j < k; ++j) work.next[j] = b[t * k + j] * beta[j] / scale[t];
    if (!blur) {
      for (std::size_t i = 0; i < k; ++i) {
        double sum = 0;
        for (std::size_t j = 0; j < k; ++j) {
          const double w = transition[i * k + j] * work.next[j];
          transitions[i * k + j] += before[i] * w;
          sum += w;
        }
        work.earlier[i] = sum;
      }
    } else {
      const double* const mt = mix + t * kk;
      // The outlier term's share of each change's emission (symmetric, as the emissions are).
      double* const share = work.share.data();
      for (std::size_t i = 0; i < k && observed; ++i) {
        for (std::size_t j = i; j < k; ++j)
          share[i * k + j] = share[j * k + i] = outlierPart(outlier[t], mt[i * k + j]);
      }
      for (std::size_t i = 0; i < k; ++i) {
        double sum = 0;
        for (std::size_t j = 0; j < k; ++j) {
          const double w = i != j ? transition[i * k + j] * mt[i * k + j] * beta[j] / scale[t]
                                  : transition[i * k + j] * work.next[j];
          const double weight = before[i] * w;
          transitions[i * k + j] += weight;
          if (observed) {
            const double out = share[i * k + j];
            outliers += weight * out;
            if (work.sameLevel[i * k + j] != 0)
              tally.addFrame(slot, j, out > 0 ? weight * (1 - out) : weight, x[t]);
          }
          sum += w;
        }
        work.earlier[i] = sum;
      }
    }
    beta.swap(work.earlier);
  }
  tally.outliers = outliers;
}

// The E-step over all traces, split over threads by frames; `perTrace`: tally each trace's
// frames apart too; `weights`: how many times each trace counts (empty: once).
Tally expectation(TraceSpans traces, const HmmModel& m, unsigned threads, bool full, bool blur,
                  bool perTrace = false, std::span<const double> weights = {}) {
  std::size_t frames = 0;
  for (const auto& trace : traces) frames += trace.size();
  unsigned count = threads != 0 ? threads : std::max(1U, std::thread::hardware_concurrency());
  count = static_cast<unsigned>(std::clamp<std::size_t>(
      frames / kFramesPerThread, 1, std::min<std::size_t>(count, traces.size())));
  std::vector<Tally> tallies(count, Tally(m.states(), perTrace ? traces.size() : 0));
  auto work = [&](unsigned part) {
    Workspace workspace;
    Tally one(weights.empty() ? 0 : m.states(), perTrace ? 1 : 0);
    for (std::size_t i = part; i < traces.size(); i += count) {
      if (weights.empty()) {
        forwardBackward(traces[i], i, i, m, tallies[part], full, blur, workspace);
        continue;
      }
      one = Tally(m.states(), perTrace ? 1 : 0);
      forwardBackward(traces[i], i, 0, m, one, full, blur, workspace);
      tallies[part].addScaled(one, weights[i], i);
    }
  };
  std::vector<std::thread> pool;
  for (unsigned part = 1; part < count; ++part) pool.emplace_back(work, part);
  work(0);
  for (std::thread& thread : pool) thread.join();
  for (unsigned part = 1; part < count; ++part) tallies[0].add(tallies[part]);
  return std::move(tallies[0]);
}

}  // namespace

namespace hmmdetail {

double dataSpread(TraceSpans traces) {
  double sum = 0, sumSq = 0, n = 0;
  for (const auto& trace : traces) {
    for (double x : trace) {
      if (std::isnan(x)) continue;
      sum += x;
      sumSq += x * x;
      n += 1;
    }
  }
  const double mean = sum / n;
  return std::sqrt(std::max(sumSq / n - mean * mean, 0.0));
}

std::vector<Tally> traceTallies(TraceSpans traces, const HmmModel& m, unsigned threads, bool blur) {
  std::vector<Tally> out(traces.size(), Tally(m.states(), 0));
  unsigned count = threads != 0 ? threads : std::max(1U, std::thread::hardware_concurrency());
  count = static_cast<unsigned>(std::clamp<std::size_t>(count, 1, traces.size()));
  auto work = [&](unsigned part) {
    Workspace workspace;
    for (std::size_t i = part; i < traces.size(); i += count) {
      forwardBackward(traces[i], i, 0, m, out[i], true, blur, workspace);
    }
  };
  std::vector<std::thread> pool;
  for (unsigned part = 1; part < count; ++part) pool.emplace_back(work, part);
  work(0);
  for (std::thread& thread : pool) thread.join();
  return out;
}

}  // namespace hmmdetail

SpanSource::SpanSource(TraceSpans traces, unsigned threads, bool frameBlur)
    : traces_(traces), threads_(threads), frameBlur_(frameBlur) {
  checkTraces(traces);
}

std::vector<std::size_t> SpanSource::observedFrames() const {
  std::vector<std::size_t> out;
  out.reserve(traces_.size());
  for (const auto& trace : traces_) {
    out.push_back(static_cast<std::size_t>(
        std::count_if(trace.begin(), trace.end(), [](double x) { return !std::isnan(x); })));
  }
  return out;
}

double SpanSource::dataSpread() const { return hmmdetail::dataSpread(traces_); }

Tally SpanSource::expectation(const HmmModel& model, bool full, bool perTrace,
                              std::span<const double> weights) {
  return lumetra::expectation(traces_, model, threads_, full, frameBlur_, perTrace, weights);
}

std::vector<Tally> SpanSource::traceTallies(const HmmModel& model) {
  return hmmdetail::traceTallies(traces_, model, threads_, frameBlur_);
}

HmmFit fitHmm(TraceSpans traces, const HmmModel& initial, const HmmOptions& options) {
  checkModel(initial);
  SpanSource source(traces, options.threads, options.frameBlur);
  return fitHmm(source, initial, options);
}

double hmmLogLikelihood(TraceSpans traces, const HmmModel& model, unsigned threads,
                        bool frameBlur) {
  hmmdetail::checkInput(traces, model);
  return expectation(traces, model, threads, false, frameBlur).logLikelihood;
}

std::size_t schemeParameterCount(std::size_t states, std::size_t levels, std::size_t freeRates,
                                 bool sharedSpread, std::size_t scaledTraces, bool outlierShare) {
  return (states - 1) + freeRates + levels + (sharedSpread ? 1 : levels) +
         (scaledTraces > 0 ? scaledTraces - 1 : 0) + (outlierShare ? 1 : 0);
}

std::size_t hmmParameterCount(std::size_t states, bool sharedSpread, std::size_t scaledTraces,
                              bool outlierShare) {
  return (states - 1) + states * (states - 1) + states + (sharedSpread ? 1 : states) +
         (scaledTraces > 0 ? scaledTraces - 1 : 0) + (outlierShare ? 1 : 0);
}

}  // namespace lumetra
