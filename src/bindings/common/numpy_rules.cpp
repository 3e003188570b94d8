#include "numpy_rules.hpp"

#include <pybind11/numpy.h>

#include <array>
#include <cmath>
#include <string>
#include <utility>

#include "convert.hpp"
#include "python.hpp"
#include "reductions.hpp"

namespace lumetra::bindings {

bool isSeries(py::handle obj) {
  // A Series exists only once pandas is loaded; no need to import it here.
  PyObject* pandas = PyDict_GetItemString(PyImport_GetModuleDict(), "pandas");  // borrowed
  if (pandas == nullptr) return false;
  py::object series = py::reinterpret_borrow<py::object>(pandas).attr("Series");
  return py::isinstance(obj, series);
}

Samples toSamples(py::handle obj) { return Samples{toDoubles(obj), isSeries(obj)}; }

double npMean(const Samples& samples) {
  if (samples.skipNaN) return nanMean(samples.values);
  if (samples.values.empty() &&
      PyErr_WarnEx(PyExc_RuntimeWarning, "Mean of empty slice.", 1) != 0) {
    throw py::error_already_set();
  }
  return mean(samples.values);
}

bool float64Input(py::handle obj) {
  if (PyList_Check(obj.ptr()) || PyTuple_Check(obj.ptr())) return true;
  PyObject* dtype = PyObject_GetAttrString(obj.ptr(), "dtype");
  if (dtype == nullptr) {
    PyErr_Clear();
    return false;
  }
  auto owned = py::reinterpret_steal<py::object>(dtype);
  if (!py::isinstance<py::dtype>(owned)) return false;  // a pandas extension type
  const auto type = owned.cast<py::dtype>();
  const char kind = type.kind();
  return kind == 'i' || kind == 'u' || (kind == 'f' && type.itemsize() == 8);
}

bool positionalItems(py::handle obj) {
  if (PyList_Check(obj.ptr()) || PyTuple_Check(obj.ptr())) return true;
  if (py::isinstance<py::array>(obj)) return obj.cast<py::array>().ndim() == 1;
  if (!isSeries(obj)) return false;
  py::object index = obj.attr("index");
  py::object rangeIndex = py::module_::import("pandas").attr("RangeIndex");
  return py::isinstance(index, rangeIndex) && py::object(index.attr("start")).equal(py::int_(0)) &&
         py::object(index.attr("step")).equal(py::int_(1));
}

py::object positionalSlice(py::handle seq, py::handle start, py::handle stop) {
  PyObject* raw = PySlice_New(start.ptr(), stop.ptr(), nullptr);
  if (raw == nullptr) throw py::error_already_set();
  auto slice = py::reinterpret_steal<py::object>(raw);
  if (isSeries(seq)) return seq.attr("iloc")[slice];
  return py::reinterpret_borrow<py::object>(seq)[slice];
}

void FloatingErrors::noteDivision(double numerator, double denominator) {
  if (denominator == 0) {
    if (numerator == 0) {
      invalid_ = true;
    } else if (std::isfinite(numerator)) {
      divide_ = true;
    }
  } else if (std::isinf(numerator) && std::isinf(denominator)) {
    invalid_ = true;
  } else if (std::isfinite(numerator) && std::isfinite(denominator) &&
             std::isinf(numerator / denominator)) {
    overflow_ = true;
  }
}

void FloatingErrors::report(const char* operation) const {
  if (!divide_ && !overflow_ && !invalid_) return;
  py::dict modes = py::module_::import("numpy").attr("geterr")();
  const std::array<std::pair<bool, const char*>, 3> kinds = {
      {{divide_, "divide"}, {overflow_, "over"}, {invalid_, "invalid"}}};
  for (const auto& [happened, kind] : kinds) {
    if (!happened) continue;
    const auto mode = modes[kind].cast<std::string>();
    if (mode == "ignore") continue;
    const std::string what = std::string(kind) == "divide" ? "divide by zero"
                             : std::string(kind) == "over" ? "overflow"
                                                           : "invalid value";
    const std::string message = what + " encountered in " + operation;
    if (mode == "raise") {
      PyErr_SetString(PyExc_FloatingPointError, message.c_str());
      throw py::error_already_set();
    }
    warn(PyExc_RuntimeWarning, message.c_str());
  }
}

}  // namespace lumetra::bindings
