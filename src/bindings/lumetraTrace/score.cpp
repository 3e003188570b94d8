// The scores of a step fit: xic (frames inside a peak interval left out) and the BIC over
// every frame.
#include <optional>
#include <stdexcept>
#include <vector>

#include "all_frames.hpp"
#include "convert.hpp"
#include "criterion.hpp"
#include "numpy_rules.hpp"
#include "python.hpp"
#include "step_fit.hpp"
#include "trace.hpp"

namespace lumetra::bindings::trace {

namespace {

// xic through the core when every argument is plain and every used frame lies in the trace;
// nothing otherwise, so that the Python formula produces its own result or error.
std::optional<py::object> xicFast(py::object partitions, py::object intensity,
                                  py::object peakList) {
  if (!positionalItems(intensity) || !float64Input(intensity)) return std::nullopt;
  const auto parts = plainPartitions(partitions);
  const auto peaks = plainPeaks(peakList);
  if (!parts || !peaks) return std::nullopt;
  const std::vector<double> values = toDoubles(intensity);
  lumetra::Residuals residuals;
  try {
    py::gil_scoped_release release;
    residuals = lumetra::partitionResiduals(values, *parts, lumetra::PeakIndex(*peaks));
  } catch (const std::out_of_range&) {
    return std::nullopt;
  }
  double score = 0.0;
  try {
    score = lumetra::informationCriterion(residuals, parts->size(), peaks->size(), values.size());
  } catch (const std::domain_error& e) {
    PyErr_SetString(PyExc_ZeroDivisionError, e.what());
    throw py::error_already_set();
  }
  FloatingErrors errors;
  if (residuals.rss == 0) errors.noteDivideByZero();
  errors.report("log");
  return numpyFloat(score);
}

py::object xicFormula(const Route& route, py::object partitions, py::object intensity,
                      py::object peakList) {
  py::object np = route.module().attr("np");
  py::object range = builtin("range");
  py::object rss = py::int_(0);
  py::object used = py::int_(0);
  py::object k =
      py::int_(3) * py::int_(py::len(partitions)) + py::int_(2) * py::int_(py::len(peakList));
  for (py::handle p : partitions) {
    auto partition = py::reinterpret_borrow<py::object>(p);
    py::list yc;
    py::object first = partition[py::int_(0)];
    py::object last = partition[py::int_(1)];
    for (py::handle pi : range(first, last)) {
      // Looked up at each use, as the name of a module function is.
      py::object inPeak = route.callee("inPeakList")(pi, peakList);
      if (!truthy(inPeak)) yc.append(intensity[pi]);
    }
    py::int_ n(py::len(yc));
    if (n > py::int_(0)) {
      py::object mean = np.attr("mean")(yc);
      py::object sum = np.attr("sum");
      py::object square = np.attr("square");
      py::object segmentRss = sum(square(yc - mean));
      used = used + n;
      rss = rss + segmentRss;
    }
  }
  py::object penalty = k * np.attr("log2")(py::len(intensity));
  py::object log = np.attr("log");
  return penalty + used * log(rss / used);
}

}  // namespace

bool inPeakList(py::object x, py::object peakList) {
  for (py::handle p : peakList) {
    auto interval = py::reinterpret_borrow<py::object>(p);
    if (x >= interval[py::int_(0)] && x <= interval[py::int_(1)]) return true;
  }
  return false;
}

py::object xic(const Route& route, py::object partitions, py::object intensity, py::object peakList,
               py::object /*halfWinLen*/) {
  return dispatch(
      route, [&] { return xicFast(partitions, intensity, peakList); },
      [&] { return xicFormula(route, partitions, intensity, peakList); });
}

py::object allFramesScore(py::object partitions, py::object intensity) {
  const auto parts = plainPartitions(partitions);
  if (!parts) throw py::type_error("partitions must be a list of [start, end, ...] integer lists");
  return numpyFloat(lumetra::allFramesBic(toDoubles(intensity), *parts));
}

py::object rejectedScore() { return py::int_(lumetra::kRejectedFit); }

}  // namespace lumetra::bindings::trace
