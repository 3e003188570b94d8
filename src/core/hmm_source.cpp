#include "hmm_source.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "hmm_acceleration.hpp"
#include "hmm_model_checks.hpp"
#include "rate_fit.hpp"

namespace lumetra {

using hmmdetail::Tally;

HmmFit fitHmm(ExpectationSource& source, const HmmModel& initial, const HmmOptions& options) {
  hmmdetail::checkModel(initial);
  const std::size_t traces = source.traces();
  if (traces == 0) throw std::invalid_argument("hmm: no trace");
  hmmdetail::checkScaleCount(initial, traces);
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
  if (options.fitTraceScales) fit.model.traceScales.resize(traces, 1.0);
  if (options.fitOutliers) {
    fit.model.outlierShare = std::clamp(fit.model.outlierShare, hmmdetail::kMinOutlierShare,
                                        hmmdetail::kMaxOutlierShare);
  }
  const std::vector<double>& weights = options.traceWeights;
  if (!weights.empty() &&
      (weights.size() != traces ||
       !std::all_of(weights.begin(), weights.end(), [](double w) { return w > 0 && w < 1e15; }))) {
    throw std::invalid_argument("hmm: a positive finite weight per trace is needed");
  }
  const std::vector<std::size_t> observedFrames = source.observedFrames();
  if (observedFrames.size() != traces) {
    throw std::invalid_argument("hmm: a count of observed frames per trace is needed");
  }
  for (std::size_t i = 0; i < traces; ++i) {
    const auto observed = static_cast<double>(observedFrames[i]);
    fit.frames +=
        static_cast<std::size_t>(std::llround(weights.empty() ? observed : weights[i] * observed));
  }
  if (fit.frames == 0) throw std::invalid_argument("hmm: no trace has a frame that is not NaN");
  const double floor = options.minSpread * std::max(source.dataSpread(), 1e-300);
  const double tolerance = options.tolerance * static_cast<double>(fit.frames);
  auto estep = [&](const HmmModel& model) {
    ++fit.iterations;
    return source.expectation(model, true, options.fitTraceScales, weights);
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
  if (!fit.converged)
    fit.logLikelihood = source.expectation(fit.model, false, false, weights).logLikelihood;
  return fit;
}

std::vector<double> flatTally(const Tally& tally) {
  std::vector<double> out;
  out.reserve(flatTallySize(tally.occupancy.size()) + tally.perTrace.size());
  for (const std::vector<double>* part :
       {&tally.start, &tally.transitions, &tally.occupancy, &tally.sumX, &tally.sumXX}) {
    out.insert(out.end(), part->begin(), part->end());
  }
  out.push_back(tally.logLikelihood);
  out.push_back(tally.outliers);
  out.insert(out.end(), tally.perTrace.begin(), tally.perTrace.end());
  return out;
}

Tally tallyOfFlat(std::span<const double> flat, std::size_t k, std::size_t traces) {
  Tally tally(k, traces);
  if (flat.size() != flatTallySize(k, traces)) {
    throw std::invalid_argument("hmm: a flat tally of the wrong size");
  }
  auto at = flat.begin();
  for (std::vector<double>* part :
       {&tally.start, &tally.transitions, &tally.occupancy, &tally.sumX, &tally.sumXX}) {
    std::copy_n(at, part->size(), part->begin());
    at += static_cast<std::ptrdiff_t>(part->size());
  }
  tally.logLikelihood = *at++;
  tally.outliers = *at++;
  std::copy(at, flat.end(), tally.perTrace.begin());
  return tally;
}

std::vector<double> flatExpectation(TraceSpans traces, const HmmModel& model, bool frameBlur,
                                    bool perTrace, unsigned threads) {
  hmmdetail::checkModel(model);
  SpanSource source(traces, threads, frameBlur);
  hmmdetail::checkScaleCount(model, traces.size());
  return flatTally(source.expectation(model, true, perTrace, {}));
}

std::vector<double> flatTraceTallies(const std::vector<Tally>& tallies) {
  std::vector<double> out;
  for (const Tally& one : tallies) {
    const std::vector<double> row = flatTally(one);
    const auto fixed = static_cast<std::ptrdiff_t>(flatTallySize(one.occupancy.size()));
    out.insert(out.end(), row.begin(), row.begin() + fixed);
  }
  return out;
}

std::vector<Tally> traceTalliesOfFlat(std::span<const double> flat, std::size_t k,
                                      std::size_t traces) {
  const std::size_t row = flatTallySize(k);
  if (flat.size() != traces * row) {
    throw std::invalid_argument("hmm: trace tallies of the wrong size");
  }
  std::vector<Tally> out;
  out.reserve(traces);
  for (std::size_t n = 0; n < traces; ++n)
    out.push_back(tallyOfFlat(flat.subspan(n * row, row), k, 0));
  return out;
}

std::vector<double> flatTraceTallies(TraceSpans traces, const HmmModel& model, bool frameBlur,
                                     unsigned threads) {
  hmmdetail::checkModel(model);
  SpanSource source(traces, threads, frameBlur);
  hmmdetail::checkScaleCount(model, traces.size());
  return flatTraceTallies(source.traceTallies(model));
}

}  // namespace lumetra
