// numpy arrays handed to the numeric helpers (batchcore, traceio): forced to C-ordered float64
// or int64, viewed as spans, and vectors handed back as new arrays.
#pragma once

#include <pybind11/numpy.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace lumetra::bindings {

namespace py = pybind11;

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Integers = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// The values of a one-dimensional array; std::invalid_argument (ValueError) for any other.
inline std::span<const double> view(const Doubles& a) {
  if (a.ndim() != 1) throw std::invalid_argument("expected a one-dimensional array");
  return {a.data(), static_cast<std::size_t>(a.size())};
}

template <typename T>
py::array_t<T> toArray(const std::vector<T>& values) {
  return py::array_t<T>(static_cast<py::ssize_t>(values.size()), values.data());
}

}  // namespace lumetra::bindings
