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

// The E-steps of a Python callable expect(model, full, per_trace) -> flat tally, and the trace
// tallies of tallies(model) -> one row per trace (None: not given), called with the GIL taken
// from a fit that runs without it.
class CallbackSource final : public lumetra::ExpectationSource {
 public:
  CallbackSource(py::function expect, py::object tallies, const Integers& observedFrames,
                 double dataSpread)
      : expect_(std::move(expect)), tallies_(std::move(tallies)), spread_(dataSpread) {
    if (observedFrames.ndim() != 1) throw std::invalid_argument("expected a one-dimensional array");
    for (py::ssize_t i = 0; i < observedFrames.size(); ++i) {
      if (observedFrames.data()[i] < 0) throw std::invalid_argument("a frame count is negative");
      observed_.push_back(static_cast<std::size_t>(observedFrames.data()[i]));
    }
    if (!(dataSpread >= 0) || !std::isfinite(dataSpread)) {
      throw std::invalid_argument("data_spread must be finite and >= 0");
    }
  }
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
  std::vector<lumetra::hmmdetail::Tally> traceTallies(const lumetra::HmmModel& model) override {
    const py::gil_scoped_acquire gil;
    if (tallies_.is_none()) throw std::invalid_argument("no trace_tallies callable");
    const auto rows = py::cast<Doubles>(tallies_(modelDict(model)));
    if (rows.ndim() != 2 ||
        rows.shape(1) != static_cast<py::ssize_t>(lumetra::flatTallySize(model.states()))) {
      throw std::invalid_argument("trace_tallies must give rows of flat_tally_size(K) entries");
    }
    return lumetra::traceTalliesOfFlat({rows.data(), static_cast<std::size_t>(rows.size())},
                                       model.states(), traces());
  }

 private:
  py::function expect_;
  py::object tallies_;
  std::vector<std::size_t> observed_;
  double spread_;
};

// The bootstrap's models as arrays: means and spreads (resamples x K), transition and, with
// `rates`, rates (resamples x K x K).
py::dict bootstrapDict(const std::vector<lumetra::HmmModel>& models, std::size_t k, bool rates) {
  const auto r = static_cast<py::ssize_t>(models.size());
  const auto kk = static_cast<py::ssize_t>(k);
  py::array_t<double> means({r, kk}), spreads({r, kk}), transition({r, kk, kk}),
      rateArray({r, kk, kk});
  for (std::size_t i = 0; i < models.size(); ++i) {
    std::copy(models[i].means.begin(), models[i].means.end(), means.mutable_data() + i * k);
    std::copy(models[i].spreads.begin(), models[i].spreads.end(), spreads.mutable_data() + i * k);
    std::copy(models[i].transition.begin(), models[i].transition.end(),
              transition.mutable_data() + i * k * k);
    if (rates) {
      std::copy(models[i].rates.begin(), models[i].rates.end(),
                rateArray.mutable_data() + i * k * k);
    }
  }
  py::dict out;
  out["means"] = means;
  out["spreads"] = spreads;
  out["transition"] = transition;
  if (rates) out["rates"] = rateArray;
  return out;
}

lumetra::HmmBootstrapOptions bootstrapOptions(std::size_t resamples, std::uint64_t seed,
                                              bool sharedSpread, bool frameBlur, int maxIterations,
                                              double tolerance, unsigned threads,
                                              bool fitTraceScales, bool fitOutliers,
                                              const py::object& freeRates) {
  lumetra::HmmBootstrapOptions o;
  o.resamples = resamples;
  o.seed = seed;
  o.threads = threads;
  o.fit =
      options(sharedSpread, frameBlur, maxIterations, tolerance, 1, fitTraceScales, fitOutliers);
  o.fit.freeRates = toFreeRates(freeRates);
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

py::array_t<double> traceTallies(const std::vector<Doubles>& traces, const py::dict& model,
                                 bool frameBlur, unsigned threads) {
  const TraceArrays data(traces);
  const lumetra::HmmModel m = toModel(model);
  std::vector<double> flat;
  {
    py::gil_scoped_release release;
    flat = lumetra::flatTraceTallies(data.spans, m, frameBlur, threads);
  }
  const auto width = static_cast<py::ssize_t>(lumetra::flatTallySize(m.states()));
  py::array_t<double> out({static_cast<py::ssize_t>(data.spans.size()), width});
  std::copy(flat.begin(), flat.end(), out.mutable_data());
  return out;
}

py::dict fitSource(const py::function& expect, const Integers& observedFrames, double dataSpread,
                   const py::dict& model, bool sharedSpread, int maxIterations, double tolerance,
                   bool fitTraceScales, bool fitOutliers, const py::object& freeRates) {
  const lumetra::HmmModel initial = toModel(model);
  lumetra::HmmOptions o =
      options(sharedSpread, false, maxIterations, tolerance, 1, fitTraceScales, fitOutliers);
  o.freeRates = toFreeRates(freeRates);
  CallbackSource source(expect, py::none(), observedFrames, dataSpread);
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
  const lumetra::HmmBootstrapOptions o =
      bootstrapOptions(resamples, seed, sharedSpread, frameBlur, maxIterations, tolerance, threads,
                       fitTraceScales, fitOutliers, freeRates);
  std::vector<lumetra::HmmModel> models;
  {
    py::gil_scoped_release release;
    models = linearised ? lumetra::linearisedBootstrapHmm(data.spans, full, o)
                        : lumetra::bootstrapHmm(data.spans, full, o);
  }
  return bootstrapDict(models, full.states(), !o.fit.freeRates.empty());
}

py::dict bootstrapSource(const py::function& expect, const py::function& traceTallies,
                         const Integers& observedFrames, double dataSpread, const py::dict& model,
                         std::size_t resamples, std::uint64_t seed, bool sharedSpread,
                         int maxIterations, double tolerance, unsigned threads, bool fitTraceScales,
                         bool fitOutliers, const py::object& freeRates) {
  const lumetra::HmmModel full = toModel(model);
  const lumetra::HmmBootstrapOptions o =
      bootstrapOptions(resamples, seed, sharedSpread, false, maxIterations, tolerance, threads,
                       fitTraceScales, fitOutliers, freeRates);
  CallbackSource source(expect, traceTallies, observedFrames, dataSpread);
  std::vector<lumetra::HmmModel> models;
  {
    py::gil_scoped_release release;
    models = lumetra::linearisedBootstrapHmm(source, full, o);
  }
  return bootstrapDict(models, full.states(), !o.fit.freeRates.empty());
}

}  // namespace lumetra::bindings
