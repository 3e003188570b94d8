#include "series.hpp"

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

}  // namespace lumetra::bindings
