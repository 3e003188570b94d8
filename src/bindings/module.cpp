#include "module.hpp"

#include <pybind11/detail/exception_translation.h>

#include <cmath>
#include <string>

namespace lumetra::bindings {

PyObject* createModule(ModuleGuard& guard, PyObject* spec) {
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (guard.interpreterId == -1) {
    guard.interpreterId = current;
  } else if (guard.interpreterId != current) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  PyObject* name = PyObject_GetAttrString(spec, "name");
  if (name == nullptr) return nullptr;
  PyObject* module = PyModule_NewObject(name);
  Py_DECREF(name);
  return module;
}

int execModule(ModuleGuard& guard, PyObject* module, void (*body)(py::module_&)) {
  if (guard.executed != nullptr) {
    if (guard.executed == module) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 guard.shortName);
    return -1;
  }
  guard.executed = module;
  try {
    auto m = py::reinterpret_borrow<py::module_>(module);
    body(m);
    return 0;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (...) {
    py::detail::try_translate_exceptions();
  }
  // A failed body leaves no module behind, so a later import may try again.
  guard.executed = nullptr;
  return -1;
}

py::object asMethod(py::cpp_function f, const char* pyName) {
  if (pyName != nullptr) {
    reinterpret_cast<PyCFunctionObject*>(f.ptr())->m_ml->ml_name = pyName;
  }
  PyObject* method = PyInstanceMethod_New(f.ptr());
  if (method == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(method);
}

py::object makeClass(const char* name, py::tuple bases, py::dict ns, py::handle module) {
  ns["__module__"] = module.attr("__name__");
  ns["__qualname__"] = name;
  auto meta =
      py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(Py_TYPE(bases[0].ptr())));
  return meta(name, bases, ns);
}

bool assertionsEnabled() {
  PyObject* flags = PySys_GetObject("flags");  // borrowed
  if (flags == nullptr) return true;
  return py::reinterpret_borrow<py::object>(flags).attr("optimize").cast<long>() == 0;
}

bool truthy(py::handle obj) {
  const int value = PyObject_IsTrue(obj.ptr());
  if (value < 0) throw py::error_already_set();
  return value != 0;
}

void failAssertion() {
  PyErr_SetNone(PyExc_AssertionError);
  throw py::error_already_set();
}

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

void failOverflow(const std::string& message) {
  PyErr_SetString(PyExc_OverflowError, message.c_str());
  throw py::error_already_set();
}

double toDouble(py::handle obj) {
  const double value = PyFloat_AsDouble(obj.ptr());
  if (value == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return value;
}

py::list intList(std::span<const std::ptrdiff_t> values) {
  py::list out(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyLong_FromSsize_t(values[i]);
    if (item == nullptr) throw py::error_already_set();
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), item);
  }
  return out;
}

void warn(py::handle category, const char* message) {
  if (PyErr_WarnEx(category.ptr(), message, 1) != 0) throw py::error_already_set();
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
  const std::pair<bool, const char*> kinds[] = {
      {divide_, "divide"}, {overflow_, "over"}, {invalid_, "invalid"}};
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

void Originals::remember(py::handle ns, const char* name,
                         std::initializer_list<const char*> attributes) {
  py::object object = ns.attr(name);
  for (const char* attribute : attributes) {
    objects_.emplace_back(std::string(name) + "." + attribute,
                          py::object(object.attr(attribute)).release().ptr());
  }
  objects_.emplace_back(name, object.release().ptr());
}

PyObject* Originals::find(const std::string& key) const {
  for (const auto& [name, object] : objects_) {
    if (name == key) return object;
  }
  return nullptr;
}

bool Originals::unchanged(py::handle ns, const char* name,
                          std::initializer_list<const char*> attributes) const {
  PyObject* object = PyObject_GetAttrString(ns.ptr(), name);
  if (object == nullptr) {
    PyErr_Clear();
    return false;
  }
  bool same = object == find(name);
  for (const char* attribute : attributes) {
    if (!same) break;
    PyObject* value = PyObject_GetAttrString(object, attribute);
    if (value == nullptr) {
      PyErr_Clear();
      same = false;
      break;
    }
    same = value == find(std::string(name) + "." + attribute);
    Py_DECREF(value);
  }
  Py_DECREF(object);
  return same;
}

py::list floatList(std::span<const double> values) {
  py::list out(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (item == nullptr) throw py::error_already_set();
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), item);
  }
  return out;
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

}  // namespace lumetra::bindings
