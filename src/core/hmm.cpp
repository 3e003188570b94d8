#include "hmm.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <thread>

#include "hmm_emissions.hpp"

namespace lumetra {

namespace {

// Below this occupancy (in frames) a state counts as empty.
constexpr double kEmpty = 1e-9;
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

// Sufficient statistics of the E-step.
struct Tally {
  explicit Tally(std::size_t k) : start(k), transitions(k * k), occupancy(k), sumX(k), sumXX(k) {}
  std::vector<double> start, transitions, occupancy, sumX, sumXX;
  double logLikelihood = 0;

  void add(const Tally& other) {
    auto plus = [](std::vector<double>& a, const std::vector<double>& b) {
      for (std::size_t i = 0; i < a.size(); ++i) a[i] += b[i];
    };
    plus(start, other.start);
    plus(transitions, other.transitions);
    plus(occupancy, other.occupancy);
    plus(sumX, other.sumX);
    plus(sumXX, other.sumXX);
    logLikelihood += other.logLikelihood;
  }
};

// Forward-backward over one trace, added to the tally (only the log-likelihood when `full` is
// false).
void forwardBackward(std::span<const double> x, const HmmModel& m, Tally& tally, bool full,
                     bool blur) {
  const std::size_t k = m.states();
  const std::size_t n = x.size();
  std::vector<double> b(n * k), alpha(n * k), scale(n), mix(blur ? n * k * k : 0), scratch(3 * k);
  for (std::size_t t = 0; t < n; ++t) {
    tally.logLikelihood += blur ? blurEmissions(x[t], m, std::span(b).subspan(t * k, k),
                                                std::span(mix).subspan(t * k * k, k * k), scratch)
                                : emissions(x[t], m, std::span(b).subspan(t * k, k));
  }
  // The emission of frame t when the state went from i to j.
  auto emission = [&](std::size_t t, std::size_t i, std::size_t j) {
    return blur && i != j ? mix[(t * k + i) * k + j] : b[t * k + j];
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
        tally.occupancy[s] += gamma;
        tally.sumX[s] += gamma * x[t];
        tally.sumXX[s] += gamma * x[t] * x[t];
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
        if (blur && i == j && !std::isnan(x[t])) {
          tally.occupancy[j] += before[i] * w;
          tally.sumX[j] += before[i] * w * x[t];
          tally.sumXX[j] += before[i] * w * x[t] * x[t];
        }
        sum += w;
      }
      earlier[i] = sum;
    }
    beta.swap(earlier);
  }
}

// The E-step over all traces, split over threads by frames.
Tally expectation(TraceSpans traces, const HmmModel& m, unsigned threads, bool full, bool blur) {
  std::size_t frames = 0;
  for (const auto& trace : traces) frames += trace.size();
  unsigned count = threads != 0 ? threads : std::max(1U, std::thread::hardware_concurrency());
  count = static_cast<unsigned>(std::clamp<std::size_t>(
      frames / kFramesPerThread, 1, std::min<std::size_t>(count, traces.size())));
  std::vector<Tally> tallies(count, Tally(m.states()));
  auto work = [&](unsigned part) {
    for (std::size_t i = part; i < traces.size(); i += count) {
      forwardBackward(traces[i], m, tallies[part], full, blur);
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

// The M-step; states without occupancy keep what they had and are listed.
HmmModel maximisation(const Tally& t, const HmmModel& old, const HmmOptions& options, double floor,
                      std::vector<std::size_t>& empty) {
  const std::size_t k = old.states();
  HmmModel m = old;
  empty.clear();
  const double traces = std::accumulate(t.start.begin(), t.start.end(), 0.0);
  for (std::size_t s = 0; s < k; ++s) m.start[s] = t.start[s] / traces;
  for (std::size_t i = 0; i < k; ++i) {
    const auto row = std::span(t.transitions).subspan(i * k, k);
    const double sum = std::accumulate(row.begin(), row.end(), 0.0);
    if (!(sum > kEmpty)) continue;
    for (std::size_t j = 0; j < k; ++j) m.transition[i * k + j] = row[j] / sum;
  }
  double pooled = 0, occupied = 0;
  for (std::size_t s = 0; s < k; ++s) {
    if (!(t.occupancy[s] > kEmpty)) {
      empty.push_back(s);
      continue;
    }
    m.means[s] = t.sumX[s] / t.occupancy[s];
    const double squares = std::max(
        t.sumXX[s] - 2 * m.means[s] * t.sumX[s] + m.means[s] * m.means[s] * t.occupancy[s], 0.0);
    pooled += squares;
    occupied += t.occupancy[s];
    m.spreads[s] = std::max(std::sqrt(squares / t.occupancy[s]), floor);
  }
  if (options.sharedSpread) {
    const double shared = std::max(std::sqrt(pooled / occupied), floor);
    std::fill(m.spreads.begin(), m.spreads.end(), shared);
  }
  return m;
}

}  // namespace

HmmFit fitHmm(TraceSpans traces, const HmmModel& initial, const HmmOptions& options) {
  checkModel(initial);
  checkTraces(traces);
  HmmFit fit;
  fit.model = initial;
  for (const auto& trace : traces) {
    fit.frames += static_cast<std::size_t>(
        std::count_if(trace.begin(), trace.end(), [](double x) { return !std::isnan(x); }));
  }
  const double floor = options.minSpread * std::max(dataSpread(traces), 1e-300);
  double previous = -std::numeric_limits<double>::infinity();
  for (fit.iterations = 0; fit.iterations < options.maxIterations; ++fit.iterations) {
    const Tally tally = expectation(traces, fit.model, options.threads, true, options.frameBlur);
    fit.logLikelihood = tally.logLikelihood;
    if (tally.logLikelihood - previous < options.tolerance * static_cast<double>(fit.frames)) {
      fit.converged = true;
      break;
    }
    previous = tally.logLikelihood;
    fit.model = maximisation(tally, fit.model, options, floor, fit.emptyStates);
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
  return expectation(traces, model, threads, false, frameBlur).logLikelihood;
}

std::vector<std::size_t> viterbiPath(std::span<const double> trace, const HmmModel& model,
                                     bool frameBlur) {
  checkModel(model);
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
      emissions(x, model, b);
    } else {
      blurEmissions(x, model, b, mix, scratch);
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

std::size_t hmmParameterCount(std::size_t states, bool sharedSpread) {
  return (states - 1) + states * (states - 1) + states + (sharedSpread ? 1 : states);
}

}  // namespace lumetra
