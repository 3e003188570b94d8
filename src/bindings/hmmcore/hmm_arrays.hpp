// The shared hidden Markov model between numpy and the core: traces as lists of arrays, models
// as dicts of arrays (means, spreads, start: K values; transition: K x K; optional trace_scales:
// one per trace, empty for all 1; optional state_levels: the level of each state, and rates:
// K x K per frame, both empty when unused) and numbers (optional outlier_share,
// outlier_density).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pytypes.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "arrays.hpp"
#include "hmm.hpp"

namespace lumetra::bindings {

// Keeps the arrays alive while the core reads their spans.
struct TraceArrays {
  explicit TraceArrays(std::vector<Doubles> arrays);
  std::vector<Doubles> arrays;
  std::vector<std::span<const double>> spans;
};

HmmModel toModel(const py::dict& model);
py::dict modelDict(const HmmModel& model);

// The K x K pattern of rates that may be non-zero (None: empty, a free transition matrix).
std::vector<std::uint8_t> toFreeRates(const py::object& freeRates);

// One array of states per trace, as the core's index paths; ValueError for a negative state.
std::vector<std::vector<std::size_t>> toPaths(const std::vector<Integers>& paths);
py::array_t<std::int64_t> pathArray(const std::vector<std::size_t>& path);
py::list pathList(const std::vector<std::vector<std::size_t>>& paths);

// A K x K array from a row-major vector.
py::array_t<double> squareArray(const std::vector<double>& values, std::size_t k);

}  // namespace lumetra::bindings
