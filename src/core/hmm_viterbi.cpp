#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "hmm.hpp"
#include "hmm_emissions.hpp"
#include "hmm_model_checks.hpp"

namespace lumetra {

std::vector<std::size_t> viterbiPath(std::span<const double> trace, const HmmModel& model,
                                     bool frameBlur, double scale) {
  hmmdetail::checkModel(model);
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
  std::vector<double> logP(k * k), b(k), score(k), next(k), mix(k * k, 0.0);
  TraceEmissions emit(model, scale);
  for (std::size_t i = 0; i < k * k; ++i) logP[i] = safeLog(model.transition[i]);
  std::vector<std::size_t> from(n * k);
  // With blur, step[i][j] is logP[i][j] plus the frame's emission for that change (it depends
  // on i); without, it is logP and the emission b[j] is added after the choice of i.
  std::vector<double> step = logP;
  auto logEmissions = [&](double x) {
    if (!frameBlur) {
      emit.pure(x, b);
    } else {
      emit.blurred(x, b, mix);
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

}  // namespace lumetra
