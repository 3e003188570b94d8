// The fits of lumetra.hmmcore that run with the GIL released: Baum-Welch (over traces in hand
// or E-steps made elsewhere), the E-step alone, and the bootstrap.
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

// Baum-Welch whose E-steps `expect(model, full, per_trace)` makes (a flat tally of all traces).
py::dict fitSource(const py::function& expect, const Integers& observedFrames, double dataSpread,
                   const py::dict& model, bool sharedSpread, int maxIterations, double tolerance,
                   bool fitTraceScales, bool fitOutliers, const py::object& freeRates);

py::dict bootstrap(const std::vector<Doubles>& traces, const py::dict& model, std::size_t resamples,
                   std::uint64_t seed, bool sharedSpread, bool frameBlur, int maxIterations,
                   double tolerance, unsigned threads, bool fitTraceScales, bool fitOutliers,
                   const py::object& freeRates, bool linearised);

}  // namespace lumetra::bindings
