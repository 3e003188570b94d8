#include "python.hpp"

namespace lumetra::bindings {

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

void failOverflow(const std::string& message) {
  PyErr_SetString(PyExc_OverflowError, message.c_str());
  throw py::error_already_set();
}

void warn(py::handle category, const char* message) {
  if (PyErr_WarnEx(category.ptr(), message, 1) != 0) throw py::error_already_set();
}

py::object item(py::handle seq, py::handle key) {
  return py::reinterpret_borrow<py::object>(seq)[key];
}

py::object item(py::handle seq, Py_ssize_t index) { return item(seq, py::int_(index)); }

py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

}  // namespace lumetra::bindings
