// lumetra.hmmcore: the hidden Markov model shared by many traces, on numpy arrays: starting
// models, the Baum-Welch fit, Viterbi paths, the bootstrap over traces, rates from transitions,
// and the checks of the rates against the dwell times of the paths.
#include "module.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "dwell_check.hpp"
#include "dwells.hpp"
#include "fitting.hpp"
#include "hmm.hpp"
#include "hmm_arrays.hpp"
#include "hmm_bootstrap.hpp"
#include "hmm_source.hpp"
#include "hmm_start.hpp"
#include "matrix_log.hpp"

namespace py = pybind11;
using lumetra::bindings::Doubles;
using lumetra::bindings::Integers;
using lumetra::bindings::TraceArrays;
using lumetra::bindings::view;

LUMETRA_MODULE(hmmcore, m) {
  m.doc() = "The hidden Markov model shared by many traces (Gaussian states, Baum-Welch).";
  const lumetra::HmmOptions defaults;
  // Frames that hold a change modelled as a mix of the two levels: the package's default,
  // which the core leaves to its callers.
  constexpr bool blurByDefault = true;
  const std::size_t resamples = lumetra::HmmBootstrapOptions{}.resamples;
  m.attr("FRAME_BLUR") = blurByDefault;
  m.attr("RESAMPLES") = resamples;
  m.attr("MAX_ITERATIONS") = defaults.maxIterations;

  m.def(
      "kmeans_levels",
      [](const Doubles& values, const Doubles& weights, std::size_t states) {
        return lumetra::bindings::toArray(
            lumetra::kMeansLevels(view(values), view(weights), states));
      },
      py::arg("values"), py::arg("weights"), py::arg("states"),
      "Ascending centres of `states` groups of the weighted values (1-D k-means from the "
      "weighted quantiles).");

  m.def(
      "nearest_states",
      [](const Doubles& trace, const Doubles& centres) {
        return lumetra::bindings::pathArray(lumetra::nearestStates(view(trace), view(centres)));
      },
      py::arg("trace"), py::arg("centres"), "The nearest centre's number for every frame.");

  m.def(
      "start_model",
      [](const std::vector<Doubles>& traces, const std::vector<Integers>& paths,
         const Doubles& centres, bool sharedSpread) {
        const TraceArrays data(traces);
        return lumetra::bindings::modelDict(lumetra::modelFromPaths(
            data.spans, lumetra::bindings::toPaths(paths), view(centres), sharedSpread));
      },
      py::arg("traces"), py::arg("paths"), py::arg("centres"), py::arg("shared_spread") = true,
      "A model counted from a state per frame of every trace (one pseudo-count per start and "
      "transition); a state without frames takes its centre.");

  m.def("fit", &lumetra::bindings::fit, py::arg("traces"), py::arg("model"),
        py::arg("shared_spread") = true, py::arg("frame_blur") = blurByDefault,
        py::arg("max_iterations") = defaults.maxIterations,
        py::arg("tolerance") = defaults.tolerance, py::arg("threads") = 0U,
        py::arg("fit_trace_scales") = defaults.fitTraceScales,
        py::arg("fit_outliers") = defaults.fitOutliers, py::arg("free_rates") = py::none(),
        "Baum-Welch from `model` over all traces: the fitted model's dict with log_likelihood, "
        "iterations, converged, frames and empty_states. frame_blur: a frame whose state "
        "changed holds a uniform mix of the two levels; fit_trace_scales: a noise scale per "
        "trace (trace_scales, frame-weighted geometric mean 1); fit_outliers: the share of the "
        "model's flat outlier density (outlier_share; outlier_density 0: no outlier term); "
        "the model's state_levels tie the means and spreads of states on one level; free_rates "
        "(K x K, non-zero where a rate may be): the transitions fitted as exp(rates) of a rate "
        "matrix per frame with the other rates zero (rates).");

  m.def("expectation", &lumetra::bindings::expectation, py::arg("traces"), py::arg("model"),
        py::arg("frame_blur") = blurByDefault, py::arg("per_trace") = false,
        py::arg("threads") = 0U,
        "The E-step over these traces at `model` (its trace_scales, if any, these traces' own) "
        "as one flat array: start (K), transitions (K x K), occupancy, sum x, sum x^2 (K each), "
        "log-likelihood, outliers, then with per_trace each trace's occupancy, sum x and sum x^2 "
        "per state (3 K). The tallies of chunks of traces add in their first part and follow "
        "one another, in trace order, in the per-trace part.");

  m.def("trace_tallies", &lumetra::bindings::traceTallies, py::arg("traces"), py::arg("model"),
        py::arg("frame_blur") = blurByDefault, py::arg("threads") = 0U,
        "Each trace's complete tally at `model` (its trace_scales, if any, these traces' own): "
        "one row per trace, the first flat_tally_size(K) entries of its flat tally as "
        "expectation gives it. The rows of chunks of traces follow one another in trace order.");

  m.def("flat_tally_size", &lumetra::flatTallySize, py::arg("states"), py::arg("traces") = 0U,
        "The length of a flat tally of that many states and per-trace tallies of that many "
        "traces (0: none).");

  m.def("fit_source", &lumetra::bindings::fitSource, py::arg("expect"), py::arg("observed_frames"),
        py::arg("data_spread"), py::arg("model"), py::arg("shared_spread") = true,
        py::arg("max_iterations") = defaults.maxIterations,
        py::arg("tolerance") = defaults.tolerance,
        py::arg("fit_trace_scales") = defaults.fitTraceScales,
        py::arg("fit_outliers") = defaults.fitOutliers, py::arg("free_rates") = py::none(),
        "Baum-Welch as fit, its E-steps made by expect(model, full, per_trace) -> the flat tally "
        "of all traces (as expectation returns it; frame blur and threads are expect's): the "
        "same tolerance, extrapolation and M-step, the same result dict. observed_frames: the "
        "non-NaN frames of each trace; data_spread: the standard deviation of all of them. "
        "The fit runs without the GIL and takes it for each call; what expect raises is "
        "raised.");

  m.def(
      "viterbi",
      [](const std::vector<Doubles>& traces, const py::dict& model, bool frameBlur) {
        const TraceArrays data(traces);
        const lumetra::HmmModel hmm = lumetra::bindings::toModel(model);
        if (!hmm.traceScales.empty() && hmm.traceScales.size() != data.spans.size()) {
          throw std::invalid_argument("trace_scales do not match the number of traces");
        }
        std::vector<std::vector<std::size_t>> paths;
        {
          py::gil_scoped_release release;
          for (std::size_t n = 0; n < data.spans.size(); ++n)
            paths.push_back(lumetra::viterbiPath(data.spans[n], hmm, frameBlur, hmm.traceScale(n)));
        }
        return lumetra::bindings::pathList(paths);
      },
      py::arg("traces"), py::arg("model"), py::arg("frame_blur") = blurByDefault,
      "The most likely state of every frame, per trace, each read through its trace scale "
      "(with frame_blur: the state at each frame's end).");

  m.def("bootstrap", &lumetra::bindings::bootstrap, py::arg("traces"), py::arg("model"),
        py::arg("resamples") = resamples, py::arg("seed") = 0, py::arg("shared_spread") = true,
        py::arg("frame_blur") = blurByDefault, py::arg("max_iterations") = defaults.maxIterations,
        py::arg("tolerance") = defaults.tolerance, py::arg("threads") = 0U,
        py::arg("fit_trace_scales") = defaults.fitTraceScales,
        py::arg("fit_outliers") = defaults.fitOutliers, py::arg("free_rates") = py::none(),
        py::arg("linearised") = false,
        "Refits of `model` on traces resampled with replacement (each with its trace scale): "
        "means and spreads (resamples x K) and transition (resamples x K x K), states ordered "
        "by mean; with free_rates also rates (resamples x K x K, per frame). linearised: each "
        "resample's refit read off the EM map linearised about `model` (the same resamples, "
        "trace scales held; RuntimeError when the traces do not determine a parameter).");

  m.def("bootstrap_source", &lumetra::bindings::bootstrapSource, py::arg("expect"),
        py::arg("trace_tallies"), py::arg("observed_frames"), py::arg("data_spread"),
        py::arg("model"), py::arg("resamples") = resamples, py::arg("seed") = 0,
        py::arg("shared_spread") = true, py::arg("max_iterations") = defaults.maxIterations,
        py::arg("tolerance") = defaults.tolerance, py::arg("threads") = 0U,
        py::arg("fit_trace_scales") = defaults.fitTraceScales,
        py::arg("fit_outliers") = defaults.fitOutliers, py::arg("free_rates") = py::none(),
        "bootstrap(..., linearised=True) with its E-steps made by expect (as fit_source's) and "
        "each trace's tally at `model` by trace_tallies(model) -> one row per trace in trace "
        "order (as trace_tallies returns them; frame blur is the callables'); threads: "
        "resamples at once. Runs without the GIL and takes it for each call; what a callable "
        "raises is raised.");

  m.def(
      "rate_matrix",
      [](const Doubles& transition, double frameTime) -> py::object {
        if (transition.ndim() != 2 || transition.shape(0) != transition.shape(1)) {
          throw std::invalid_argument("expected a square matrix");
        }
        const auto k = static_cast<std::size_t>(transition.shape(0));
        const auto q = lumetra::rateMatrix(
            {transition.data(), static_cast<std::size_t>(transition.size())}, k, frameTime);
        if (!q) return py::none();
        return lumetra::bindings::squareArray(*q, k);
      },
      py::arg("transition"), py::arg("frame_time"),
      "log(P) / frame_time (principal logarithm), or None when P has no real logarithm.");

  m.def("scheme_parameter_count", &lumetra::schemeParameterCount, py::arg("states"),
        py::arg("levels"), py::arg("free_rates"), py::arg("shared_spread") = true,
        py::arg("scaled_traces") = 0U, py::arg("outlier_share") = false,
        "Free parameters of a model whose states share levels, with that many free rates.");

  m.def("parameter_count", &lumetra::hmmParameterCount, py::arg("states"),
        py::arg("shared_spread") = true, py::arg("scaled_traces") = 0U,
        py::arg("outlier_share") = false,
        "Free parameters of a model with that many states (scaled_traces: the number of traces "
        "when their noise scales are fitted, 0 when not; outlier_share: fitted or not).");

  // Dwell-time checks of a fitted rate matrix, in frames.
  m.attr("MAX_DWELL_COMPONENTS") = lumetra::kMaxDwellComponents;
  m.def("level_dwells", &lumetra::bindings::levelRuns, py::arg("levels"),
        "The runs of a path of levels: level, frames and censored (the path's first and last).");
  m.def("level_dwell_cdf", &lumetra::bindings::levelCdf, py::arg("rates"), py::arg("state_levels"),
        py::arg("level"), py::arg("frame_time"), py::arg("max_frames"),
        "Pr(dwell <= d frames) on `level`, d = 0..max_frames, under the rate matrix (per time "
        "unit) whose state i lies on level state_levels[i]; all NaN when the level is never "
        "entered.");
  m.def("cramer_von_mises", &lumetra::bindings::dwellDistance, py::arg("dwells"), py::arg("cdf"),
        "omega^2 of the dwells (frames) from the distribution cdf[d] = Pr(D <= d), read at the "
        "middle of each jump.");
  m.def("geometric_mixtures", &lumetra::bindings::mixtures, py::arg("dwells"),
        py::arg("max_components") = lumetra::kMaxDwellComponents,
        "Mixtures of 1..max_components geometric distributions fitted to the dwells (frames) by "
        "EM: fits (weights, means in frames ascending, log_likelihood, bic, iterations) and the "
        "index BIC picks (chosen).");
  m.def(
      "geometric_mixture_cdf", &lumetra::bindings::mixtureCdf, py::arg("weights"), py::arg("means"),
      py::arg("max_frames"),
      "Pr(D <= d), d = 0..max_frames, of a mixture of geometric distributions (means in frames).");
}
