#include "fitting.hpp"

#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "hmm_arrays.hpp"
#include "hmm_bootstrap.hpp"
#include "hmm_linear_bootstrap.hpp"
#include "hmm_source.hpp"

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

py::dict fitDict(const lumetra::HmmFit& result) {
  py::dict out = modelDict(result.model);
  out["log_likelihood"] = result.logLikelihood;
  out["iterations"] = result.iterations;
  out["converged"] = result.converged;
  out["frames"] = result.frames;
  out["empty_states"] = result.emptyStates;
  return out;
}

// The E-steps of a Python callable expect(model, full, per_trace) -> flat tally, called with the
// GIL taken from a fit that runs without it.
class CallbackSource final : public lumetra::ExpectationSource {
 public:
  CallbackSource(py::function expect, std::vector<std::size_t> observed, double spread)
      : expect_(std::move(expect)), observed_(std::move(observed)), spread_(spread) {}
  [[nodiscard]] std::size_t traces() const override { return observed_.size(); }
  [[nodiscard]] std::vector<std::size_t> observedFrames() const override { return observed_; }
  [[nodiscard]] double dataSpread() const override { return spread_; }
  lumetra::hmmdetail::Tally expectation(
      const lumetra::HmmModel& model, bool full, bool perTrace,
      std::span<const double> /*weights: none in Python*/) override {
    const py::gil_scoped_acquire gil;
    const auto flat = py::cast<Doubles>(expect_(modelDict(model), full, perTrace));
    return lumetra::tallyOfFlat(view(flat), model.states(), perTrace ? traces() : 0);
  }

 private:
  py::function expect_;
  std::vector<std::size_t> observed_;
  double spread_;
};

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
  return fitDict(result);
}

py::array_t<double> expectation(const std::vector<Doubles>& traces, const py::dict& model,
                                bool frameBlur, bool perTrace, unsigned threads) {
  const TraceArrays data(traces);
  const lumetra::HmmModel m = toModel(model);
  std::vector<double> flat;
  {
    py::gil_scoped_release release;
    flat = lumetra::flatExpectation(data.spans, m, frameBlur, perTrace, threads);
  }
  return toArray(flat);
}

py::dict fitSource(const py::function& expect, const Integers& observedFrames, double dataSpread,
                   const py::dict& model, bool sharedSpread, int maxIterations, double tolerance,
                   bool fitTraceScales, bool fitOutliers, const py::object& freeRates) {
  if (observedFrames.ndim() != 1) throw std::invalid_argument("expected a one-dimensional array");
  std::vector<std::size_t> observed;
  for (py::ssize_t i = 0; i < observedFrames.size(); ++i) {
    if (observedFrames.data()[i] < 0) throw std::invalid_argument("a frame count is negative");
    observed.push_back(static_cast<std::size_t>(observedFrames.data()[i]));
  }
  if (!(dataSpread >= 0) || !std::isfinite(dataSpread)) {
    throw std::invalid_argument("data_spread must be finite and >= 0");
  }
  const lumetra::HmmModel initial = toModel(model);
  lumetra::HmmOptions o =
      options(sharedSpread, false, maxIterations, tolerance, 1, fitTraceScales, fitOutliers);
  o.freeRates = toFreeRates(freeRates);
  CallbackSource source(expect, std::move(observed), dataSpread);
  lumetra::HmmFit result;
  {
    py::gil_scoped_release release;
    result = lumetra::fitHmm(source, initial, o);
  }
  return fitDict(result);
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
