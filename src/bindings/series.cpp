#include "series.hpp"

#include <pybind11/numpy.h>

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

DoubleView::DoubleView(py::handle sequence) {
  if (PyList_Check(sequence.ptr())) {
    copy_ = toDoubles(sequence);
    values_ = copy_;
    return;
  }
  owner_ = py::module_::import("numpy").attr("asarray")(sequence, "float64");
  py::buffer_info info = py::reinterpret_borrow<py::buffer>(owner_).request();
  if (info.ndim != 1) throw py::type_error("expected a one-dimensional sequence of numbers");
  const auto n = static_cast<std::size_t>(info.shape[0]);
  if (info.strides[0] == static_cast<py::ssize_t>(sizeof(double))) {
    values_ = {static_cast<const double*>(info.ptr), n};
    return;
  }
  copy_ = toDoubles(owner_);
  values_ = copy_;
}

std::vector<lumetra::Partition> toPartitions(py::handle partitions) {
  std::vector<lumetra::Partition> out;
  std::ptrdiff_t seq = 0;
  for (py::handle entry : partitions) {
    const Py_ssize_t start = clippedIndex(py::reinterpret_borrow<py::object>(entry)[py::int_(0)]);
    const Py_ssize_t end = clippedIndex(py::reinterpret_borrow<py::object>(entry)[py::int_(1)]);
    out.push_back({start, end, seq++});
  }
  return out;
}

}  // namespace lumetra::bindings
