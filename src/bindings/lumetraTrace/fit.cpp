// fitTrajectory: the step fit of the trace for one parameter setting. Its C++ body runs the
// whole fit in one core call and then stores every result as the call-by-call body does.
#include <pybind11/numpy.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "convert.hpp"
#include "fit_record.hpp"
#include "numpy_rules.hpp"
#include "prepared_traces.hpp"
#include "step_fit.hpp"
#include "trace.hpp"

namespace lumetra::bindings::trace {

namespace {

void appendOptional(py::list& out, const std::optional<double>& value) {
  out.append(value ? py::object(py::float_(*value)) : py::object(py::none()));
}

// A new list of `values` as Python floats, taking the float objects of the list `self.<name>`
// already holds where they have the same bits: a search fits one trace at the same half window
// many times, and floats are immutable, so sharing them is unseen.
py::list floatsReusing(std::span<const double> values, const py::object& self, const char* name) {
  PyObject* old = PyObject_GetAttrString(self.ptr(), name);
  if (old == nullptr) PyErr_Clear();
  const auto held = py::reinterpret_steal<py::object>(old);
  const auto n = static_cast<Py_ssize_t>(values.size());
  if (old == nullptr || !PyList_CheckExact(old) || PyList_GET_SIZE(old) != n) {
    return floatList(values);
  }
  py::list out(values.size());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(old, i);
    const double value = values[static_cast<std::size_t>(i)];
    if (PyFloat_CheckExact(item) && std::bit_cast<std::uint64_t>(PyFloat_AS_DOUBLE(item)) ==
                                        std::bit_cast<std::uint64_t>(value)) {
      Py_INCREF(item);
    } else if ((item = PyFloat_FromDouble(value)) == nullptr) {
      throw py::error_already_set();
    }
    PyList_SET_ITEM(out.ptr(), i, item);
  }
  return out;
}

// Stores the core's fit on the trace object; its streams hold dataVar and dataNS.
void storeFit(py::object self, const lumetra::StepFit& fit, const lumetra::WindowStreams& streams,
              bool keep) {
  FitRecord record(self);
  record.put(FitResult::dataVar, floatsReusing(streams.dataVar, self, "dataVar"));
  record.put(FitResult::dataNS, floatsReusing(streams.dataNS, self, "dataNS"));
  record.put(FitResult::thresholdVar, py::float_(fit.thresholdVar));
  py::list pairs = tripleList(fit.pairs);
  record.put(FitResult::pairs, pairs);
  if (keep) record.keepPairs(tripleList(fit.pairs));
  py::list newPairs;
  for (std::size_t k : fit.kept) newPairs.append(pairs[k]);
  record.put(FitResult::newPairs, newPairs);
  record.put(FitResult::thresholdNS, py::float_(fit.thresholdNS));
  py::list integralDy, boolRR, boolNS, rr, fr;
  for (const lumetra::CandidateTest& test : fit.candidates) {
    integralDy.append(floatList(test.integral));
    boolRR.append(py::bool_(test.passedRatio));
    boolNS.append(py::bool_(test.passedNS));
    appendOptional(rr, test.ratio);
    appendOptional(fr, test.slope);
  }
  record.put(FitResult::pairs3, tripleList(fit.pairs3));
  record.put(FitResult::integralDy, integralDy);
  record.put(FitResult::thresholdBoolRR, boolRR);
  record.put(FitResult::thresholdBoolNS, boolNS);
  record.put(FitResult::rr, rr);
  record.put(FitResult::fr, fr);
  record.put(FitResult::partitions, tripleList(fit.partitions));
  record.put(FitResult::moments, floatList(fit.moments));
}

// A column that passed fitFast's checks (a Series of a numpy dtype), for DoubleView: a float64
// column as the array it holds, which skips the Series' array protocol; any other as it is.
py::object columnArray(py::handle column) {
  const auto dtype = py::object(column.attr("dtype")).cast<py::dtype>();
  if (dtype.kind() == 'f' && dtype.itemsize() == 8) return column.attr("to_numpy")();
  return py::reinterpret_borrow<py::object>(column);
}

// The whole fit in one C++ call, then every result stored. Nothing when the fit meets what
// only the call-by-call evaluation handles exactly.
std::optional<py::object> fitFast(py::object self, py::object halfWinLen, py::object rratio,
                                  py::object thrate, py::object filterWidth, bool keep) {
  if (!PyLong_Check(halfWinLen.ptr()) || PyBool_Check(halfWinLen.ptr()) || !plainReal(rratio) ||
      !plainReal(thrate) || !plainReal(filterWidth)) {
    return std::nullopt;
  }
  py::object frames = self.attr("frames");
  py::object intensity = self.attr("CH1mBGND1");
  for (py::handle column : {frames, intensity}) {
    if (!isSeries(column) || !float64Input(column) || !positionalItems(column)) {
      return std::nullopt;
    }
  }
  int overflow = 0;
  const long long h = PyLong_AsLongLongAndOverflow(halfWinLen.ptr(), &overflow);
  if (overflow != 0) return std::nullopt;
  const lumetra::StepFitSettings settings{h, toDouble(rratio), toDouble(thrate),
                                          toDouble(filterWidth)};
  // The columns are read in place only to find the trace prepared from them, or to copy them.
  std::shared_ptr<const PreparedTrace> trace;
  std::vector<double> frameValues;
  std::vector<double> sampleValues;
  {
    const DoubleView frameView(columnArray(frames));
    const DoubleView sampleView(columnArray(intensity));
    trace = preparedTraces().find(frameView.values(), sampleView.values());
    if (!trace) {
      frameValues.assign(frameView.values().begin(), frameView.values().end());
      sampleValues.assign(sampleView.values().begin(), sampleView.values().end());
    }
  }
  // As lumetra::fitSteps, with the streams of the half window kept by the prepared trace.
  lumetra::StepFit fit;
  std::shared_ptr<const lumetra::WindowStreams> streams;
  try {
    // Only the prepared trace, this call's own copy, is used here.
    py::gil_scoped_release release;
    if (!trace) trace = preparedTraces().add(std::move(frameValues), std::move(sampleValues));
    streams = trace->streams(settings.halfWinLen);
    lumetra::fitFromStreams(trace->frames(), trace->samples(), lumetra::NaNRule::skip, *streams,
                            settings, fit);
    fit.thresholdNS = streams->thresholdNS;
  } catch (const lumetra::StepFitUnsupported&) {
    return std::nullopt;
  }
  const std::vector<double>& samples = trace->samples();

  // The score first, so that a fit the criterion cannot take leaves nothing half stored.
  const int tooFew = PyObject_RichCompareBool(py::int_(fit.partitions.size()).ptr(),
                                              py::object(self.attr("stateNum")).ptr(), Py_LT);
  if (tooFew < 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  std::optional<double> score;
  if (tooFew == 0) {
    py::object saved = self.attr("keepPairs");
    std::optional<std::vector<lumetra::PeakBounds>> bounds;
    if (!keep && !saved.is_none()) {
      bounds = plainPeaks(saved);
      if (!bounds) return std::nullopt;
    }
    py::gil_scoped_release release;
    if (bounds) {
      score = lumetra::scoreStepFit(fit.partitions, samples, lumetra::PeakIndex(*bounds),
                                    bounds->size());
    } else {
      score = lumetra::scoreStepFit(fit.partitions, samples, lumetra::PeakIndex(fit.pairs),
                                    fit.pairs.size());
    }
    // A residual sum of 0 takes the logarithm of 0, which numpy warns about.
    if (score && std::isinf(*score) && *score < 0) return std::nullopt;
  }
  storeFit(self, fit, *streams, keep);
  if (tooFew != 0 || !score) return rejectedScore();
  return numpyFloat(*score);
}

// An integer half window below 1 cuts the frame axis to nothing and, when negative, makes the
// variance stream longer than the trace (endless for a large one): refused before any step.
void requirePositiveHalfWindow(py::handle halfWinLen) {
  if (PyBool_Check(halfWinLen.ptr()) || PyFloat_Check(halfWinLen.ptr()) ||
      !PyIndex_Check(halfWinLen.ptr())) {
    return;  // other types fail where the steps use them
  }
  const int below = PyObject_RichCompareBool(halfWinLen.ptr(), py::int_(1).ptr(), Py_LT);
  if (below < 0) throw py::error_already_set();
  if (below != 0) {
    throw py::value_error("halfWinLen must be at least 1, got " + std::string(py::str(halfWinLen)));
  }
}

}  // namespace

py::object fitTrajectory(const Route& route, py::object self, py::object halfWinLen,
                         py::object rratio, py::object thrate, py::object filterWidth,
                         py::object keepPairs) {
  requirePositiveHalfWindow(halfWinLen);
  auto composed = [&] {
    return fitComposed(route, self, halfWinLen, rratio, thrate, filterWidth, keepPairs);
  };
  // A truth test that fails is left to the call-by-call fit, which makes it where it belongs.
  const int keep = PyObject_IsTrue(keepPairs.ptr());
  if (keep < 0) {
    PyErr_Clear();
    return composed();
  }
  return dispatch(
      route, [&] { return fitFast(self, halfWinLen, rratio, thrate, filterWidth, keep != 0); },
      composed);
}

}  // namespace lumetra::bindings::trace
