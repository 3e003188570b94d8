#include "module.hpp"

#include <pybind11/detail/exception_translation.h>

#include "route.hpp"

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
    bindRoutes(m);
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

}  // namespace lumetra::bindings
