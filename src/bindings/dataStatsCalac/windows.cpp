// Statistics of windowed series: the moving variance, the derivative, and the two thresholds.
#include <pybind11/numpy.h>

#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "convert.hpp"
#include "functions.hpp"
#include "numpy_rules.hpp"
#include "python.hpp"
#include "segment_stats.hpp"

namespace lumetra::bindings::stats {

namespace {

lumetra::NaNRule nanRule(const Samples& samples) {
  return samples.skipNaN ? lumetra::NaNRule::skip : lumetra::NaNRule::propagate;
}

// numpy.mean of a series through the core, or through a replaced np.
py::object meanOf(const Route& route, py::object values) {
  return dispatch(
      route, [&] { return std::optional<py::object>(py::float_(npMean(toSamples(values)))); },
      [&] { return py::object(route.module().attr("np").attr("mean")(values)); });
}

}  // namespace

py::list dataStatsVar(const Route& route, py::object frames, py::object data,
                      py::object windowsLen) {
  const auto frameCount = static_cast<Py_ssize_t>(py::len(frames));
  // A window longer than the trace has no position, however long it is.
  const int longer = PyObject_RichCompareBool(windowsLen.ptr(), py::int_(frameCount).ptr(), Py_GT);
  if (longer < 0) throw py::error_already_set();
  if (longer != 0) return py::list();
  const Py_ssize_t width = toIndex(windowsLen);
  Py_ssize_t lastStart = 0;
  if (__builtin_sub_overflow(frameCount, width, &lastStart) || lastStart == PY_SSIZE_T_MAX) {
    failOverflow("a window length of " + std::to_string(width) +
                 " gives more window positions than a list can hold");
  }
  auto fast = [&]() -> std::optional<py::list> {
    // Windows that run past the end of data, or empty ones, go the slow way for numpy's
    // warnings.
    if (width < 1 || !float64Input(data) || static_cast<Py_ssize_t>(py::len(data)) < frameCount) {
      return std::nullopt;
    }
    const Samples samples = toSamples(data);
    std::vector<double> out;
    {
      // Only this call's own vectors are touched.
      py::gil_scoped_release release;
      out = lumetra::movingVariance(samples.values, static_cast<std::size_t>(frameCount), width,
                                    nanRule(samples));
    }
    return floatList(out);
  };
  auto formula = [&] {
    py::object var = route.module().attr("np").attr("var");
    py::list out;
    for (Py_ssize_t i = 0; i <= lastStart; ++i) {
      out.append(var(positionalSlice(data, py::int_(i), py::int_(i + width))));
    }
    return out;
  };
  return dispatch(route, fast, formula);
}

py::object dataDerivation(const Route& route, py::object frames, py::object data, py::object n) {
  py::int_ one(1);
  if (assertionsEnabled()) {
    const int atLeastOne = PyObject_RichCompareBool(n.ptr(), one.ptr(), Py_GE);
    if (atLeastOne < 0) throw py::error_already_set();
    if (atLeastOne == 0) failAssertion();
  }
  auto fast = [&]() -> std::optional<py::object> {
    if (!PyIndex_Check(n.ptr()) || !float64Input(frames) || !float64Input(data)) {
      return std::nullopt;
    }
    const lumetra::DerivativeTerms terms =
        lumetra::derivativeTerms(toDoubles(frames), toDoubles(data), toIndex(n));
    std::vector<double> out;
    try {
      out = lumetra::divideBroadcast(terms.differences, terms.steps);
    } catch (const std::invalid_argument& e) {
      throw py::value_error(e.what());
    }
    const auto& a = terms.differences;
    const auto& b = terms.steps;
    FloatingErrors errors;
    for (std::size_t k = 0; k < out.size(); ++k) {
      errors.noteDivision(a[a.size() == 1 ? 0 : k], b[b.size() == 1 ? 0 : k]);
    }
    errors.report("divide");
    return py::array_t<double>(static_cast<py::ssize_t>(out.size()), out.data());
  };
  auto formula = [&] {
    py::object np = route.module().attr("np");
    py::object y = np.attr("diff")(data, n);
    py::object steps = np.attr("diff")(frames);
    if (n > one) {
      PyObject* end = PyNumber_Negative((n - one).ptr());
      if (end == nullptr) throw py::error_already_set();
      steps = positionalSlice(steps, py::none(), py::reinterpret_steal<py::object>(end));
    }
    return py::object(y / steps);
  };
  return dispatch(route, fast, formula);
}

py::object th(const Route& route, py::object y, py::object rate) {
  auto fast = [&]() -> std::optional<py::object> {
    if (!PyFloat_Check(rate.ptr())) return std::nullopt;
    const double meanY = npMean(toSamples(y));
    return py::float_(meanY + PyFloat_AS_DOUBLE(rate.ptr()) * std::abs(meanY));
  };
  auto formula = [&] {
    py::object left = meanOf(route, y);
    return py::object(left + rate * builtin("abs")(meanOf(route, y)));
  };
  return dispatch(route, fast, formula);
}

py::object thNS(const Route& route, py::object ns) {
  py::object meanNS = meanOf(route, ns);
  if (meanNS > py::int_(0)) return py::int_(3) * meanNS;
  return py::int_(2) * builtin("abs")(builtin("min")(ns));
}

}  // namespace lumetra::bindings::stats
