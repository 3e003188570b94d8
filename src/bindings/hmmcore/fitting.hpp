// The fits of lumetra.hmmcore that run with the GIL released: Baum-Welch (over traces in hand
// or E-steps made elsewhere), the E-step and the trace tallies alone, and the bootstraps.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pytypes.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "arrays.hpp"

namespace lumetra::bindings {

py::dict fit(const std::vector<Doubles>& traces, const py::dict& model, bool sharedSpread,
             bool frameBlur, int maxIterations, double tolerance, unsigned threads,
             bool fitTraceScales, bool fitOutliers, const py::object& freeRates);

// The flat tally (lumetra::flatTally) of the E-step over these traces.
py::array_t<double> expectation(const std::vector<Doubles>& traces, const py::dict& model,
                                bool frameBlur, bool perTrace, unsigned threads);

// Each trace's complete flat tally at `model` (lumetra::flatTraceTallies), one row per trace.
py::array_t<double> traceTallies(const std::vector<Doubles>& traces, const py::dict& model,
                                 bool frameBlur, unsigned threads);

// Baum-Welch whose E-steps `expect(model, full, per_trace)` makes (a flat tally of all traces).
py::dict fitSource(const py::function& expect, const Integers& observedFrames, double dataSpread,
                   const py::dict& model, bool sharedSpread, int maxIterations, double tolerance,
                   bool fitTraceScales, bool fitOutliers, const py::object& freeRates);

py::dict bootstrap(const std::vector<Doubles>& traces, const py::dict& model, std::size_t resamples,
                   std::uint64_t seed, bool sharedSpread, bool frameBlur, int maxIterations,
                   double tolerance, unsigned threads, bool fitTraceScales, bool fitOutliers,
                   const py::object& freeRates, bool linearised);

// The linearised bootstrap whose E-steps `expect` makes (as fitSource's) and whose trace tallies
// `traceTallies(model)` gives (one row per trace, in trace order).
py::dict bootstrapSource(const py::function& expect, const py::function& traceTallies,
                         const Integers& observedFrames, double dataSpread, const py::dict& model,
                         std::size_t resamples, std::uint64_t seed, bool sharedSpread,
                         int maxIterations, double tolerance, unsigned threads, bool fitTraceScales,
                         bool fitOutliers, const py::object& freeRates);

}  // namespace lumetra::bindings
