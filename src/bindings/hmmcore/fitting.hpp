// The fits of lumetra.hmmcore that run with the GIL released: Baum-Welch and the bootstrap.
#pragma once

#include <pybind11/pytypes.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "arrays.hpp"

namespace lumetra::bindings {

py::dict fit(const std::vector<Doubles>& traces, const py::dict& model, bool sharedSpread,
             bool frameBlur, int maxIterations, double tolerance, unsigned threads,
             bool fitTraceScales, bool fitOutliers, const py::object& freeRates);

py::dict bootstrap(const std::vector<Doubles>& traces, const py::dict& model, std::size_t resamples,
                   std::uint64_t seed, bool sharedSpread, bool frameBlur, int maxIterations,
                   double tolerance, unsigned threads, bool fitTraceScales, bool fitOutliers,
                   const py::object& freeRates, bool linearised);

}  // namespace lumetra::bindings
