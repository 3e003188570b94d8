#include "hmm.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <thread>

#include "hmm_acceleration.hpp"
#include "hmm_emissions.hpp"
#include "hmm_maximisation.hpp"
#include "rate_fit.hpp"

namespace lumetra {

namespace {

using hmmdetail::Tally;

// Fewer frames than this per thread are not worth a thread.
constexpr std::size_t kFramesPerThread = 20000;

void checkModel(const HmmModel& m) {
  const std::size_t k = m.states();
  if (k == 0 || m.spreads.size() != k || m.start.size() != k || m.transition.size() != k * k) {
    throw std::invalid_argument("hmm: model sizes do not match its number of states");
  }
  auto isDistribution = [](std::span<const double> p) {
    double sum = 0;
    for (double v : p) {
      if (!(v >= 0)) return false;
      sum += v;
    }
    return std::abs(sum - 1) < 1e-6;
  };
  if (!isDistribution(m.start)) throw std::invalid_argument("hmm: start is not a distribution");
  for (std::size_t i = 0; i < k; ++i) {
    if (!isDistribution(std::span(m.transition).subspan(i * k, k))) {
      throw std::invalid_argument("hmm: a transition row is not a distribution");
    }
    if (!(m.spreads[i] > 0) || !std::isfinite(m.means[i])) {
      throw std::invalid_argument("hmm: spreads must be > 0 and means finite");
    }
  }
  for (double scale : m.traceScales) {
    if (!(scale > 0) || !std::isfinite(scale)) {
      throw std::invalid_argument("hmm: trace scales must be finite and > 0");
    }
  }
  if (!m.levelOf.empty()) {
    if (m.levelOf.size() != k) throw std::invalid_argument("hmm: a level per state is needed");
    const std::size_t levels = *std::max_element(m.levelOf.begin(), m.levelOf.end()) + 1;
    for (std::size_t level = 0; level < levels; ++level) {
      if (std::find(m.levelOf.begin(), m.levelOf.end(), level) == m.levelOf.end()) {
        throw std::invalid_argument("hmm: levels must be numbered 0 ... L - 1, each with a state");
      }
    }
  }
  if (!m.rates.empty() && m.rates.size() != k * k) {
    throw std::invalid_argument("hmm: the rate matrix does not match the number of states");
  }
  if (!(m.outlierShare >= 0 && m.outlierShare < 1) ||
      !(m.outlierDensity >= 0 && std::isfinite(m.outlierDensity))) {
    throw std::invalid_argument("hmm: outlier share outside [0, 1) or outlier density < 0");
  }
}

void checkScaleCount(const HmmModel& m, std::size_t traces) {
  if (!m.traceScales.empty() && m.traceScales.size() != traces) {
    throw std::invalid_argument("hmm: trace scales do not match the number of traces");
  }
}

void checkTraces(TraceSpans traces) {
  if (traces.empty()) throw std::invalid_argument("hmm: no trace");
  bool anyFrame = false;
  for (const auto& trace : traces) {
    if (trace.empty()) throw std::invalid_argument("hmm: a trace without frames");
    anyFrame = anyFrame ||
               std::any_of(trace.begin(), trace.end(), [](double x) { return !std::isnan(x); });
  }
  if (!anyFrame) throw std::invalid_argument("hmm: no trace has a frame that is not NaN");
}

// Forward-backward over trace `index`, added to the tally (only the log-likelihood when `full`
// is false).
void forwardBackward(std::span<const double> x, std::size_t index, const HmmModel& m, Tally& tally,
                     bool full, bool blur) {
  const std::size_t k = m.states();
  const std::size_t n = x.size();
  const double noise = m.traceScale(index);
  std::vector<double> b(n * k), alpha(n * k), scale(n), mix(blur ? n * k * k : 0), scratch(3 * k),
      outlier(n);
  for (std::size_t t = 0; t < n; ++t) {
    tally.logLikelihood +=
        blur ? blurEmissions(x[t], m, std::span(b).subspan(t * k, k),
                             std::span(mix).subspan(t * k * k, k * k), scratch, noise, &outlier[t])
             : emissions(x[t], m, std::span(b).subspan(t * k, k), noise, &outlier[t]);
  }
  // The emission of frame t when the state went from i to j.
  auto emission = [&](std::size_t t, std::size_t i, std::size_t j) {
    return blur && i != j ? mix[(t * k + i) * k + j] : b[t * k + j];
  };
  // The share of an emission e of frame t that the outlier term holds.
  auto outlierShare = [&](std::size_t t, double e) {
    return outlier[t] > 0 ? outlier[t] / e : 0.0;
  };
  for (std::size_t t = 0; t < n; ++t) {
    double sum = 0;
    for (std::size_t j = 0; j < k; ++j) {
      double prior = 0;
      if (t == 0) {
        alpha[j] = m.start[j] * b[j];
      } else if (!blur) {
        for (std::size_t i = 0; i < k; ++i)
          prior += alpha[(t - 1) * k + i] * m.transition[i * k + j];
        alpha[t * k + j] = prior * b[t * k + j];
      } else {
        for (std::size_t i = 0; i < k; ++i)
          prior += alpha[(t - 1) * k + i] * m.transition[i * k + j] * emission(t, i, j);
        alpha[t * k + j] = prior;
      }
      sum += alpha[t * k + j];
    }
    // A frame no state can emit under the transitions still leaves every state open.
    if (!(sum > 0)) {
      for (std::size_t j = 0; j < k; ++j) alpha[t * k + j] = 1.0 / static_cast<double>(k);
      sum = std::numeric_limits<double>::min();
    } else {
      for (std::size_t j = 0; j < k; ++j) alpha[t * k + j] /= sum;
    }
    scale[t] = sum;
    tally.logLikelihood += std::log(sum);
  }
  if (!full) return;
  std::vector<double> beta(k, 1.0), next(k), earlier(k);
  for (std::size_t t = n; t-- > 0;) {
    const std::span<const double> a = std::span(alpha).subspan(t * k, k);
    for (std::size_t s = 0; s < k; ++s) {
      const double gamma = a[s] * beta[s];
      if (t == 0) tally.start[s] += gamma;
      // With blur only frames without a change inform the levels: those come with xi below.
      if (!std::isnan(x[t]) && (!blur || t == 0)) {
        const double out = outlierShare(t, b[t * k + s]);
        tally.outliers += gamma * out;
        tally.addFrame(index, s, out > 0 ? gamma * (1 - out) : gamma, x[t]);
      }
    }
    if (t == 0) break;
    // xi between frames t - 1 and t, and beta of frame t - 1.
    const std::span<const double> before = std::span(alpha).subspan((t - 1) * k, k);
    for (std::size_t j = 0; j < k; ++j) next[j] = b[t * k + j] * beta[j] / scale[t];
    for (std::size_t i = 0; i < k; ++i) {
      double sum = 0;
      for (std::size_t j = 0; j < k; ++j) {
        const double w = blur && i != j
                             ? m.transition[i * k + j] * emission(t, i, j) * beta[j] / scale[t]
                             : m.transition[i * k + j] * next[j];
        tally.transitions[i * k + j] += before[i] * w;
        if (blur && !std::isnan(x[t])) {
          const double out = outlierShare(t, emission(t, i, j));
          tally.outliers += before[i] * w * out;
          if (m.level(i) == m.level(j))
            tally.addFrame(index, j, out > 0 ? before[i] * w * (1 - out) : before[i] * w, x[t]);
        }
        sum += w;
      }
      earlier[i] = sum;
    }
    beta.swap(earlier);
  }
}

// The E-step over all traces, split over threads by frames; `perTrace`: tally each trace's
// frames apart too.
Tally expectation(TraceSpans traces, const HmmModel& m, unsigned threads, bool full, bool blur,
                  bool perTrace = false) {
  std::size_t frames = 0;
  for (const auto& trace : traces) frames += trace.size();
  unsigned count = threads != 0 ? threads : std::max(1U, std::thread::hardware_concurrency());
  count = static_cast<unsigned>(std::clamp<std::size_t>(
      frames / kFramesPerThread, 1, std::min<std::size_t>(count, traces.size())));
  std::vector<Tally> tallies(count, Tally(m.states(), perTrace ? traces.size() : 0));
  auto work = [&](unsigned part) {
    for (std::size_t i = part; i < traces.size(); i += count) {
      forwardBackward(traces[i], i, m, tallies[part], full, blur);
    }
  };
  std::vector<std::thread> pool;
  for (unsigned part = 1; part < count; ++part) pool.emplace_back(work, part);
  work(0);
  for (std::thread& thread : pool) thread.join();
  for (unsigned part = 1; part < count; ++part) tallies[0].add(tallies[part]);
  return std::move(tallies[0]);
}

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

}  // namespace

HmmFit fitHmm(TraceSpans traces, const HmmModel& initial, const HmmOptions& options) {
  checkModel(initial);
  checkTraces(traces);
  checkScaleCount(initial, traces.size());
  if (!options.freeRates.empty() &&
      options.freeRates.size() != initial.states() * initial.states()) {
    throw std::invalid_argument("hmm: the free rates do not match the number of states");
  }
  HmmFit fit;
  fit.model = initial;
  if (!options.freeRates.empty()) {
    fit.model.rates = hmmdetail::startRates(initial, options.freeRates);
    fit.model.transition = transitionOfRates(fit.model.rates, initial.states());
  }
  if (options.fitTraceScales) fit.model.traceScales.resize(traces.size(), 1.0);
  if (options.fitOutliers) {
    fit.model.outlierShare = std::clamp(fit.model.outlierShare, hmmdetail::kMinOutlierShare,
                                        hmmdetail::kMaxOutlierShare);
  }
  for (const auto& trace : traces) {
    fit.frames += static_cast<std::size_t>(
        std::count_if(trace.begin(), trace.end(), [](double x) { return !std::isnan(x); }));
  }
  const double floor = options.minSpread * std::max(dataSpread(traces), 1e-300);
  const double tolerance = options.tolerance * static_cast<double>(fit.frames);
  auto estep = [&](const HmmModel& model) {
    ++fit.iterations;
    return expectation(traces, model, options.threads, true, options.frameBlur,
                       options.fitTraceScales);
  };
  auto mstep = [&](const Tally& tally, const HmmModel& model) {
    return hmmdetail::maximisation(tally, model, options, floor, fit.frames, fit.emptyStates);
  };
  double previous = -std::numeric_limits<double>::infinity();
  fit.iterations = 0;
  while (fit.iterations < options.maxIterations) {
    const Tally tally = estep(fit.model);
    fit.logLikelihood = tally.logLikelihood;
    if (tally.logLikelihood - previous < tolerance) {
      fit.converged = true;
      --fit.iterations;  // the E-step that found no gain makes no iteration
      break;
    }
    previous = tally.logLikelihood;
    HmmModel next = mstep(tally, fit.model);
    if (!options.accelerate || fit.iterations + 3 > options.maxIterations) {
      fit.model = std::move(next);
      continue;
    }
    // Two EM steps, then the jump along them (hmm_acceleration.hpp).
    const Tally second = estep(next);
    if (second.logLikelihood - previous < tolerance) {
      fit.model = std::move(next);
      fit.logLikelihood = second.logLikelihood;
      fit.converged = true;
      --fit.iterations;
      break;
    }
    HmmModel after = mstep(second, next);
    const HmmModel jump =
        hmmdetail::constrained(hmmdetail::extrapolated(hmmdetail::unconstrained(fit.model, options),
                                                       hmmdetail::unconstrained(next, options),
                                                       hmmdetail::unconstrained(after, options)),
                               after, options, floor);
    const Tally landed = estep(jump);
    if (landed.logLikelihood >= second.logLikelihood) {
      fit.model = mstep(landed, jump);  // a plain EM step after the jump steadies it
      previous = landed.logLikelihood;
    } else {
      fit.model = std::move(after);
      previous = second.logLikelihood;
    }
  }
  if (!fit.converged) {
    fit.logLikelihood = hmmLogLikelihood(traces, fit.model, options.threads, options.frameBlur);
  }
  return fit;
}

double hmmLogLikelihood(TraceSpans traces, const HmmModel& model, unsigned threads,
                        bool frameBlur) {
  checkModel(model);
  checkTraces(traces);
  checkScaleCount(model, traces.size());
  return expectation(traces, model, threads, false, frameBlur).logLikelihood;
}

std::vector<std::size_t> viterbiPath(std::span<const double> trace, const HmmModel& model,
                                     bool frameBlur, double scale) {
  checkModel(model);
  if (!(scale > 0) || !std::isfinite(scale)) {
    throw std::invalid_argument("hmm: a trace scale must be finite and > 0");
  }
  const std::size_t k = model.states();
  const std::size_t n = trace.size();
  std::vector<std::size_t> path(n);
  if (n == 0) return path;
  auto safeLog = [](double p) {
    return p > 0 ? std::log(p) : -std::numeric_limits<double>::infinity();
  };
  std::vector<double> logP(k * k), b(k), score(k), next(k), mix(k * k, 0.0), scratch(3 * k);
  for (std::size_t i = 0; i < k * k; ++i) logP[i] = safeLog(model.transition[i]);
  std::vector<std::size_t> from(n * k);
  // With blur, step[i][j] is logP[i][j] plus the frame's emission for that change (it depends
  // on i); without, it is logP and the emission b[j] is added after the choice of i.
  std::vector<double> step = logP;
  auto logEmissions = [&](double x) {
    if (!frameBlur) {
      emissions(x, model, b, scale);
    } else {
      blurEmissions(x, model, b, mix, scratch, scale);
    }
    for (double& v : b) v = safeLog(v);
    if (!frameBlur) return;
    for (std::size_t i = 0; i < k; ++i) {
      for (std::size_t j = 0; j < k; ++j) {
        step[i * k + j] = logP[i * k + j] + (i == j ? b[j] : safeLog(mix[i * k + j]));
      }
    }
  };
  logEmissions(trace[0]);
  for (std::size_t s = 0; s < k; ++s) score[s] = safeLog(model.start[s]) + b[s];
  for (std::size_t t = 1; t < n; ++t) {
    logEmissions(trace[t]);
    for (std::size_t j = 0; j < k; ++j) {
      std::size_t best = 0;
      for (std::size_t i = 1; i < k; ++i) {
        if (score[i] + step[i * k + j] > score[best] + step[best * k + j]) best = i;
      }
      from[t * k + j] = best;
      next[j] = score[best] + step[best * k + j] + (frameBlur ? 0.0 : b[j]);
    }
    score.swap(next);
  }
  path[n - 1] =
      static_cast<std::size_t>(std::max_element(score.begin(), score.end()) - score.begin());
  for (std::size_t t = n - 1; t > 0; --t) path[t - 1] = from[t * k + path[t]];
  return path;
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
