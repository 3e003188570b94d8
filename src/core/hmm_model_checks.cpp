#include "hmm_model_checks.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <stdexcept>

namespace lumetra::hmmdetail {

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

void checkInput(TraceSpans traces, const HmmModel& m) {
  checkModel(m);
  checkTraces(traces);
  checkScaleCount(m, traces.size());
}

}  // namespace lumetra::hmmdetail
