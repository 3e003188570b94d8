#include "convert.hpp"

#include <cmath>

namespace lumetra::bindings {

Py_ssize_t toIndex(py::handle obj) {
  PyObject* index = PyNumber_Index(obj.ptr());
  if (index == nullptr) throw py::error_already_set();
  const Py_ssize_t value = PyLong_AsSsize_t(index);
  Py_DECREF(index);
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  return value;
}

Py_ssize_t clippedIndex(py::handle obj) {
  PyObject* index = PyNumber_Index(obj.ptr());
  if (index == nullptr) throw py::error_already_set();
  const Py_ssize_t value = PyNumber_AsSsize_t(index, nullptr);
  Py_DECREF(index);
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  return value;
}

double toDouble(py::handle obj) {
  const double value = PyFloat_AsDouble(obj.ptr());
  if (value == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return value;
}

std::optional<long long> exactInteger(py::handle value, IndexFailure onFailure) {
  if (PyFloat_Check(value.ptr()) || !PyIndex_Check(value.ptr())) return std::nullopt;
  const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) {
    if (onFailure == IndexFailure::raise) throw py::error_already_set();
    PyErr_Clear();
    return std::nullopt;
  }
  int overflow = 0;
  const long long result = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (overflow != 0) return std::nullopt;
  return result;
}

std::optional<double> exactBound(py::handle bound) {
  if (PyFloat_Check(bound.ptr())) return PyFloat_AS_DOUBLE(bound.ptr());
  const auto value = exactInteger(bound);
  if (!value || std::abs(static_cast<double>(*value)) > 0x1p53) return std::nullopt;
  return static_cast<double>(*value);
}

bool plainReal(py::handle value) {
  if (PyFloat_Check(value.ptr())) return true;
  if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) return false;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  return overflow == 0 && v >= -(1LL << 53) && v <= (1LL << 53);
}

py::object integralOrFloat(double value) {
  if (std::trunc(value) == value && std::abs(value) < 0x1p53) {
    return py::int_(static_cast<long long>(value));
  }
  return py::float_(value);
}

py::object numpyFloat(double value) {
  static PyObject* float64 =
      py::object(py::module_::import("numpy").attr("float64")).release().ptr();
  PyObject* scalar = PyObject_CallFunction(float64, "d", value);
  if (scalar == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(scalar);
}

std::vector<double> toDoubles(py::handle sequence) {
  if (PyList_Check(sequence.ptr())) {
    const Py_ssize_t n = PyList_GET_SIZE(sequence.ptr());
    std::vector<double> out(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      const double v = PyFloat_AsDouble(PyList_GET_ITEM(sequence.ptr(), i));
      if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
      out[static_cast<std::size_t>(i)] = v;
    }
    return out;
  }
  py::object array = py::module_::import("numpy").attr("asarray")(sequence, "float64");
  py::buffer_info info = py::reinterpret_borrow<py::buffer>(array).request();
  if (info.ndim != 1) throw py::type_error("expected a one-dimensional sequence of numbers");
  std::vector<double> out(static_cast<std::size_t>(info.shape[0]));
  const auto* base = static_cast<const char*>(info.ptr);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = *reinterpret_cast<const double*>(base + static_cast<py::ssize_t>(i) * info.strides[0]);
  }
  return out;
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

namespace {

// A list of the values, each made a Python object by `make` (a new reference or nullptr).
template <typename T, typename Make>
py::list listOf(std::span<const T> values, Make make) {
  py::list out(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = make(values[i]);
    if (item == nullptr) throw py::error_already_set();
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), item);
  }
  return out;
}

}  // namespace

py::list floatList(std::span<const double> values) { return listOf(values, PyFloat_FromDouble); }

py::list intList(std::span<const std::ptrdiff_t> values) {
  return listOf(values, PyLong_FromSsize_t);
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

namespace {

// The entries of a list or tuple of lists or tuples with at least two items, each read by
// `read` from its first two items; nothing when any of that does not hold.
template <typename Entry, typename Read>
std::optional<std::vector<Entry>> plainEntries(py::handle entries, Read read) {
  if (!PyList_CheckExact(entries.ptr()) && !PyTuple_CheckExact(entries.ptr())) return std::nullopt;
  std::vector<Entry> out;
  for (py::handle entry : entries) {
    if (!PyList_CheckExact(entry.ptr()) && !PyTuple_CheckExact(entry.ptr())) return std::nullopt;
    if (PySequence_Fast_GET_SIZE(entry.ptr()) < 2) return std::nullopt;
    std::optional<Entry> value =
        read(PySequence_Fast_GET_ITEM(entry.ptr(), 0), PySequence_Fast_GET_ITEM(entry.ptr(), 1));
    if (!value) return std::nullopt;
    out.push_back(*value);
  }
  return out;
}

}  // namespace

std::optional<std::vector<lumetra::Partition>> plainPartitions(py::handle entries) {
  return plainEntries<lumetra::Partition>(
      entries, [](py::handle start, py::handle end) -> std::optional<lumetra::Partition> {
        const auto first = exactInteger(start);
        const auto last = exactInteger(end);
        if (!first || !last) return std::nullopt;
        return lumetra::Partition{*first, *last, 0};
      });
}

std::optional<std::vector<lumetra::PeakBounds>> plainPeaks(py::handle entries) {
  return plainEntries<lumetra::PeakBounds>(
      entries, [](py::handle lo, py::handle hi) -> std::optional<lumetra::PeakBounds> {
        const auto first = exactBound(lo);
        const auto last = exactBound(hi);
        if (!first || !last) return std::nullopt;
        return lumetra::PeakBounds{*first, *last};
      });
}

}  // namespace lumetra::bindings
