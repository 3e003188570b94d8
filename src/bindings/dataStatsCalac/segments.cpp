// Statistics of the samples of each partition: the central moment and the spread.
#include <cmath>
#include <optional>
#include <span>
#include <vector>

#include "convert.hpp"
#include "functions.hpp"
#include "numpy_rules.hpp"
#include "python.hpp"
#include "segment_stats.hpp"

namespace lumetra::bindings::stats {

namespace {

// The order of a moment when it is an integer that fits (scipy accepts integral floats too).
std::optional<long long> integralOrder(py::handle order) {
  if (PyFloat_Check(order.ptr())) {
    const double value = PyFloat_AsDouble(order.ptr());
    if (!std::isfinite(value) || value != std::trunc(value) || std::abs(value) > 0x1p62) {
      return std::nullopt;
    }
    return static_cast<long long>(value);
  }
  const auto value = exactInteger(order, IndexFailure::raise);
  if (!value || std::abs(static_cast<double>(*value)) > 0x1p62) return std::nullopt;
  return value;
}

void warnSmallSample() {
  auto category = py::reinterpret_borrow<py::object>(PyExc_RuntimeWarning);
  try {
    category = py::module_::import("scipy.stats._axis_nan_policy").attr("SmallSampleWarning");
  } catch (py::error_already_set&) {
  }
  warn(category,
       "One or more sample arguments is too small; all returned values will be NaN. See "
       "documentation for sample size requirements.");
}

}  // namespace

py::list dataMoment(const Route& route, py::object data, py::object partitions, py::object N) {
  auto fast = [&]() -> std::optional<py::list> {
    const std::optional<long long> order = integralOrder(N);
    if (!order || !float64Input(data)) return std::nullopt;
    const std::vector<double> values = toDoubles(data);
    const std::vector<lumetra::Partition> parts = toPartitions(partitions);
    const std::vector<double> out = lumetra::segmentMoments(values, parts, *order);
    // scipy's warnings, segment by segment.
    for (const lumetra::Partition& p : parts) {
      const lumetra::SliceBounds b = lumetra::sliceBounds(p.start, p.end, values.size());
      const auto segment = std::span<const double>(values).subspan(b.begin, b.end - b.begin);
      if (segment.empty()) {
        warnSmallSample();
      } else if (*order != 0 && *order != 1 && lumetra::momentLosesPrecision(segment)) {
        warn(PyExc_RuntimeWarning,
             "Precision loss occurred in moment calculation due to catastrophic "
             "cancellation. This occurs when the data are nearly identical. Results may be "
             "unreliable.");
      }
    }
    return floatList(out);
  };
  auto formula = [&] {
    py::object moment = route.module().attr("moment");
    py::list out;
    for (py::handle p : partitions)
      out.append(moment(positionalSlice(data, item(p, 0), item(p, 1)), N));
    return out;
  };
  return dispatch(route, fast, formula);
}

py::list dataStd(const Route& route, py::object data, py::object partitions) {
  auto fast = [&]() -> std::optional<py::list> {
    if (!float64Input(data)) return std::nullopt;
    const Samples samples = toSamples(data);
    const std::vector<lumetra::Partition> parts = toPartitions(partitions);
    const auto rule = samples.skipNaN ? lumetra::NaNRule::skip : lumetra::NaNRule::propagate;
    const std::vector<double> out = lumetra::segmentStd(samples.values, parts, rule);
    if (!samples.skipNaN) {
      for (const lumetra::Partition& p : parts) {
        const lumetra::SliceBounds b = lumetra::sliceBounds(p.start, p.end, samples.values.size());
        if (b.begin == b.end) warn(PyExc_RuntimeWarning, "Degrees of freedom <= 0 for slice");
      }
    }
    return floatList(out);
  };
  auto formula = [&] {
    py::object npStd = route.module().attr("np").attr("std");
    py::list out;
    for (py::handle p : partitions)
      out.append(npStd(positionalSlice(data, item(p, 0), item(p, 1))));
    return out;
  };
  return dispatch(route, fast, formula);
}

}  // namespace lumetra::bindings::stats
