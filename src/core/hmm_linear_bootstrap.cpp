#include "hmm_linear_bootstrap.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>
#include <stdexcept>

#include "hmm_acceleration.hpp"
#include "hmm_maximisation.hpp"
#include "hmm_model_checks.hpp"
#include "hmm_source.hpp"
#include "hmm_start.hpp"
#include "rate_fit.hpp"

namespace lumetra {

namespace {

using hmmdetail::Tally;

// The step of the central differences, relative to a parameter of size over 1: large enough that
// the M-step's own rounding and inner solves (the rates' fit) do not reach the differences.
constexpr double kStep = 1e-2;
// A parameter at or below this is the logarithm of a zero that the model keeps zero.
constexpr double kZeroLog = -600;
// A parameter whose column of I - J is below this throughout is one the traces do not
// determine (a rate with no transition behind it, which the M-step leaves where it is): held.
constexpr double kUndetermined = 1e-4;
// A pivot below this (relative to the largest entry) makes I - J singular.
constexpr double kSingular = 1e-12;

// LU decomposition with partial pivoting of a square matrix, solved for many right-hand sides.
class LuSolver {
 public:
  LuSolver(std::vector<double> a, std::size_t n) : lu_(std::move(a)), order_(n), n_(n) {
    double largest = 0;
    for (double v : lu_) largest = std::max(largest, std::abs(v));
    for (std::size_t i = 0; i < n; ++i) order_[i] = i;
    for (std::size_t c = 0; c < n; ++c) {
      std::size_t pivot = c;
      for (std::size_t r = c + 1; r < n; ++r) {
        if (std::abs(at(r, c)) > std::abs(at(pivot, c))) pivot = r;
      }
      if (!(std::abs(at(pivot, c)) > kSingular * largest)) {
        throw std::runtime_error("hmm: a parameter of the model is not determined by the traces");
      }
      if (pivot != c) {
        for (std::size_t j = 0; j < n; ++j) std::swap(at(c, j), at(pivot, j));
        std::swap(order_[c], order_[pivot]);
      }
      for (std::size_t r = c + 1; r < n; ++r) {
        at(r, c) /= at(c, c);
        for (std::size_t j = c + 1; j < n; ++j) at(r, j) -= at(r, c) * at(c, j);
      }
    }
  }

  [[nodiscard]] std::vector<double> solve(const std::vector<double>& b) const {
    std::vector<double> x(n_);
    for (std::size_t i = 0; i < n_; ++i) {
      x[i] = b[order_[i]];
      for (std::size_t j = 0; j < i; ++j) x[i] -= at(i, j) * x[j];
    }
    for (std::size_t i = n_; i-- > 0;) {
      for (std::size_t j = i + 1; j < n_; ++j) x[i] -= at(i, j) * x[j];
      x[i] /= at(i, i);
    }
    return x;
  }

 private:
  double& at(std::size_t r, std::size_t c) { return lu_[r * n_ + c]; }
  [[nodiscard]] double at(std::size_t r, std::size_t c) const { return lu_[r * n_ + c]; }
  std::vector<double> lu_;
  std::vector<std::size_t> order_;
  std::size_t n_;
};

}  // namespace

std::vector<HmmModel> linearisedBootstrapHmm(ExpectationSource& source, const HmmModel& full,
                                             const HmmBootstrapOptions& options) {
  hmmdetail::checkModel(full);  // once, before any thread starts
  const std::size_t n = source.traces(), k = full.states();
  if (n == 0) throw std::invalid_argument("hmm: no trace");
  hmmdetail::checkScaleCount(full, n);
  HmmOptions o = options.fit;
  o.fitTraceScales = false;
  o.traceWeights.clear();
  HmmModel base = full;
  if (!o.freeRates.empty()) {
    if (o.freeRates.size() != k * k) {
      throw std::invalid_argument("hmm: the free rates do not match the number of states");
    }
    base.rates = hmmdetail::startRates(full, o.freeRates);
    base.transition = transitionOfRates(base.rates, k);
  }
  if (o.fitOutliers) {
    base.outlierShare =
        std::clamp(base.outlierShare, hmmdetail::kMinOutlierShare, hmmdetail::kMaxOutlierShare);
  }
  const std::vector<std::size_t> observed = source.observedFrames();
  if (observed.size() != n) {
    throw std::invalid_argument("hmm: a count of observed frames per trace is needed");
  }
  const std::size_t frames = std::accumulate(observed.begin(), observed.end(), std::size_t{0});
  if (frames == 0) throw std::invalid_argument("hmm: no trace has a frame that is not NaN");
  const double floor = o.minSpread * std::max(source.dataSpread(), 1e-300);
  auto expectation = [&](const HmmModel& m) { return source.expectation(m, true, false, {}); };
  // The parameters on the unconstrained scale without the trace scales, which stay the fit's:
  // a batch's thousands of traces then add nothing to J.
  HmmModel shape = base;
  shape.traceScales.clear();
  auto pack = [&](HmmModel m) {
    m.traceScales.clear();
    return hmmdetail::unconstrained(m, o);
  };
  auto unpack = [&](const std::vector<double>& parameters) {
    HmmModel m = hmmdetail::constrained(parameters, shape, o, floor);
    m.traceScales = base.traceScales;
    return m;
  };
  auto step = [&](const Tally& tally, const HmmModel& from, std::size_t count) {
    std::vector<std::size_t> empty;
    return pack(hmmdetail::maximisation(tally, from, o, floor, count, empty));
  };

  // The EM map's Jacobian at the fit, column by column.
  const std::vector<double> theta = pack(base);
  const std::size_t p = theta.size();
  std::vector<double> identityLessJ(p * p, 0.0);
  std::vector<bool> held(p, false);
  for (std::size_t c = 0; c < p; ++c) {
    identityLessJ[c * p + c] = 1;
    // A zero the model keeps: the map leaves it as it is.
    held[c] = theta[c] <= kZeroLog;
    if (held[c]) continue;
    const double h = kStep * std::max(1.0, std::abs(theta[c]));
    std::vector<double> up = theta, down = theta;
    up[c] += h;
    down[c] -= h;
    const HmmModel upModel = unpack(up);
    const HmmModel downModel = unpack(down);
    const std::vector<double> mapUp = step(expectation(upModel), upModel, frames);
    const std::vector<double> mapDown = step(expectation(downModel), downModel, frames);
    for (std::size_t r = 0; r < p; ++r)
      identityLessJ[r * p + c] -= (mapUp[r] - mapDown[r]) / (2 * h);
    double largest = 0;
    for (std::size_t r = 0; r < p; ++r)
      largest = std::max(largest, std::abs(identityLessJ[r * p + c]));
    held[c] = largest < kUndetermined;
  }
  for (std::size_t c = 0; c < p; ++c) {  // a held parameter stays at the fit's value
    if (!held[c]) continue;
    for (std::size_t j = 0; j < p; ++j) identityLessJ[c * p + j] = identityLessJ[j * p + c] = 0;
    identityLessJ[c * p + c] = 1;
  }
  const LuSolver solver(std::move(identityLessJ), p);

  // Each trace's tallies at the fit; a resample's M-step of its weighted sum.
  const std::vector<Tally> tallies = source.traceTallies(base);
  if (tallies.size() != n || !std::all_of(tallies.begin(), tallies.end(), [k](const Tally& t) {
        return t.start.size() == k && t.transitions.size() == k * k && t.occupancy.size() == k &&
               t.sumX.size() == k && t.sumXX.size() == k;
      })) {
    throw std::invalid_argument("hmm: a tally of the model's states per trace is needed");
  }
  Tally all(k, 0);
  for (const Tally& one : tallies) all.addScaled(one, 1, 0);
  const std::vector<double> fixedPoint = step(all, base, frames);
  const std::vector<std::uint32_t> counts = resampleCounts(n, options.resamples, options.seed);
  std::vector<HmmModel> models(options.resamples);
  forEachResample(options.resamples, options.threads, [&](std::size_t r) {
    Tally sum(k, 0);
    double weighted = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const auto times = static_cast<double>(counts[r * n + i]);
      if (times == 0) continue;
      sum.addScaled(tallies[i], times, 0);
      weighted += times * static_cast<double>(observed[i]);
    }
    std::vector<double> move = step(sum, base, static_cast<std::size_t>(std::llround(weighted)));
    for (std::size_t j = 0; j < p; ++j) move[j] = held[j] ? 0.0 : move[j] - fixedPoint[j];
    std::vector<double> refit = solver.solve(move);
    for (std::size_t j = 0; j < p; ++j) refit[j] += theta[j];
    models[r] = orderedByMean(unpack(refit));
  });
  return models;
}

std::vector<HmmModel> linearisedBootstrapHmm(TraceSpans traces, const HmmModel& full,
                                             const HmmBootstrapOptions& options) {
  hmmdetail::checkInput(traces, full);
  SpanSource source(traces, options.threads, options.fit.frameBlur);
  return linearisedBootstrapHmm(source, full, options);
}

}  // namespace lumetra
