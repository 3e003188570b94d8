#include "fitting.hpp"

#include <pybind11/stl.h>

#include <algorithm>

#include "hmm_arrays.hpp"
#include "hmm_bootstrap.hpp"
#include "hmm_linear_bootstrap.hpp"

namespace lumetra::bindings {

namespace {

lumetra::HmmOptions options(bool sharedSpread, bool frameBlur, int maxIterations, double tolerance,
                            unsigned threads, bool fitTraceScales, bool fitOutliers) {
  lumetra::HmmOptions o;
  o.fitTraceScales = fitTraceScales;
  o.fitOutliers = fitOutliers;
  o.frameBlur = frameBlur;
  o.sharedSpread = sharedSpread;
  o.maxIterations = maxIterations;
  o.tolerance = tolerance;
  o.threads = threads;
  return o;
}

}  // namespace

py::dict fit(const std::vector<Doubles>& traces, const py::dict& model, bool sharedSpread,
             bool frameBlur, int maxIterations, double tolerance, unsigned threads,
             bool fitTraceScales, bool fitOutliers, const py::object& freeRates) {
  const TraceArrays data(traces);
  const lumetra::HmmModel initial = toModel(model);
  lumetra::HmmOptions o = options(sharedSpread, frameBlur, maxIterations, tolerance, threads,
                                  fitTraceScales, fitOutliers);
  o.freeRates = toFreeRates(freeRates);
  lumetra::HmmFit result;
  {
    py::gil_scoped_release release;
    result = lumetra::fitHmm(data.spans, initial, o);
  }
  py::dict out = modelDict(result.model);
  out["log_likelihood"] = result.logLikelihood;
  out["iterations"] = result.iterations;
  out["converged"] = result.converged;
  out["frames"] = result.frames;
  out["empty_states"] = result.emptyStates;
  return out;
}

py::dict bootstrap(const std::vector<Doubles>& traces, const py::dict& model, std::size_t resamples,
                   std::uint64_t seed, bool sharedSpread, bool frameBlur, int maxIterations,
                   double tolerance, unsigned threads, bool fitTraceScales, bool fitOutliers,
                   const py::object& freeRates, bool linearised) {
  const TraceArrays data(traces);
  const lumetra::HmmModel full = toModel(model);
  lumetra::HmmBootstrapOptions o;
  o.resamples = resamples;
  o.seed = seed;
  o.threads = threads;
  o.fit =
      options(sharedSpread, frameBlur, maxIterations, tolerance, 1, fitTraceScales, fitOutliers);
  o.fit.freeRates = toFreeRates(freeRates);
  std::vector<lumetra::HmmModel> models;
  {
    py::gil_scoped_release release;
    models = linearised ? lumetra::linearisedBootstrapHmm(data.spans, full, o)
                        : lumetra::bootstrapHmm(data.spans, full, o);
  }
  const auto r = static_cast<py::ssize_t>(resamples);
  const auto k = static_cast<py::ssize_t>(full.states());
  py::array_t<double> means({r, k}), spreads({r, k}), transition({r, k, k}), rates({r, k, k});
  for (std::size_t i = 0; i < models.size(); ++i) {
    const std::size_t n = full.states();
    std::copy(models[i].means.begin(), models[i].means.end(), means.mutable_data() + i * n);
    std::copy(models[i].spreads.begin(), models[i].spreads.end(), spreads.mutable_data() + i * n);
    std::copy(models[i].transition.begin(), models[i].transition.end(),
              transition.mutable_data() + i * n * n);
    if (!o.fit.freeRates.empty()) {
      std::copy(models[i].rates.begin(), models[i].rates.end(), rates.mutable_data() + i * n * n);
    }
  }
  py::dict out;
  out["means"] = means;
  out["spreads"] = spreads;
  out["transition"] = transition;
  if (!o.fit.freeRates.empty()) out["rates"] = rates;
  return out;
}

}  // namespace lumetra::bindings
