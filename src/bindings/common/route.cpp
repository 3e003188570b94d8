#include "route.hpp"

#include <algorithm>

namespace lumetra::bindings {

Route::Route(std::string function, std::vector<Uses> uses, std::vector<Calls> calls, Check check)
    : function_(std::move(function)),
      uses_(std::move(uses)),
      calls_(std::move(calls)),
      check_(check) {}

namespace {

// module.a.b... or nothing (no error set) when an attribute is missing.
PyObject* follow(PyObject* module, const std::vector<PyObject*>& path) {
  PyObject* object = module;
  Py_INCREF(object);
  for (PyObject* name : path) {
    PyObject* next = PyObject_GetAttr(object, name);
    Py_DECREF(object);
    if (next == nullptr) {
      PyErr_Clear();
      return nullptr;
    }
    object = next;
  }
  return object;
}

}  // namespace

void Route::bind(py::handle module) {
  module_ = py::object(py::reinterpret_borrow<py::object>(module)).release().ptr();
  std::vector<std::vector<std::string>> paths;
  auto watch = [&paths](const std::vector<std::string>& path) {
    if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
  };
  for (const Uses& use : uses_) {
    watch({use.name});
    for (const std::string& attribute : use.attributes) watch({use.name, attribute});
  }
  for (const Calls& call : calls_) {
    if (call.through.empty()) {
      watch({call.callee->function()});
    } else {
      watch({call.through});
      watch({call.through, call.callee->function()});
    }
  }
  watched_.clear();
  for (const auto& path : paths) {
    Watched entry;
    for (const std::string& name : path) {
      PyObject* interned = PyUnicode_InternFromString(name.c_str());
      if (interned == nullptr) throw py::error_already_set();
      entry.path.push_back(interned);
    }
    PyObject* found = follow(module.ptr(), entry.path);
    if (found == nullptr)
      throw py::attribute_error("route of " + function_ + ": no " + path.back());
    // A strong reference, so a replacement can never share the original's address.
    entry.expected = found;
    watched_.push_back(std::move(entry));
  }
}

bool Route::intact() const {
  if (module_ == nullptr) return false;
  for (const Watched& entry : watched_) {
    PyObject* now = follow(module_, entry.path);
    if (now == nullptr) return false;
    Py_DECREF(now);  // only its identity is needed
    if (now != entry.expected) return false;
  }
  for (const Calls& call : calls_) {
    if (!call.callee->intact()) return false;
  }
  return check_ == nullptr || check_(py::handle(module_));
}

}  // namespace lumetra::bindings
