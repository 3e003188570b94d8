// The machinery of the extension modules: the module definition macro (multi-phase
// initialisation) and the building of plain Python classes from C++ callables.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>

namespace lumetra::bindings {

namespace py = pybind11;

// One extension module of the shared library: the interpreter it was first created in
// and the module object its body ran on.
struct ModuleGuard {
  const char* shortName;
  std::int64_t interpreterId = -1;
  PyObject* executed = nullptr;  // borrowed; only compared, never dereferenced
};

PyObject* createModule(ModuleGuard& guard, PyObject* spec);
int execModule(ModuleGuard& guard, PyObject* module, void (*body)(py::module_&));

// A C++ callable stored in a class namespace binds as a method only when wrapped; the
// optional name replaces the function's own (pybind11 refuses to create some names).
py::object asMethod(py::cpp_function f, const char* pyName = nullptr);

// A plain Python class, made by calling the metaclass of its first base, so instances
// deep-copy and pickle like those of a class written in Python.
py::object makeClass(const char* name, py::tuple bases, py::dict ns, py::handle module);

}  // namespace lumetra::bindings

// Defines a module with multi-phase initialisation: `PyInit_<name>` returns the
// definition, creation refuses a second interpreter, and the body runs once, on the
// module object the import system hands over; the routes its functions declared are bound
// when it ends.
// NOLINTBEGIN(bugprone-macro-parentheses): `variable` names a parameter, it is no expression.
#define LUMETRA_MODULE(name, variable)                                                        \
  static void lumetraBody_##name(::pybind11::module_& variable);                              \
  static ::lumetra::bindings::ModuleGuard lumetraGuard_##name{#name};                         \
  static PyObject* lumetraCreate_##name(PyObject* spec, PyModuleDef*) {                       \
    return ::lumetra::bindings::createModule(lumetraGuard_##name, spec);                      \
  }                                                                                           \
  static int lumetraExec_##name(PyObject* module) {                                           \
    return ::lumetra::bindings::execModule(lumetraGuard_##name, module, &lumetraBody_##name); \
  }                                                                                           \
  static ::std::array<PyModuleDef_Slot, 3> lumetraSlots_##name = {                            \
      {{Py_mod_create, reinterpret_cast<void*>(&lumetraCreate_##name)},                       \
       {Py_mod_exec, reinterpret_cast<void*>(&lumetraExec_##name)},                           \
       {0, nullptr}}};                                                                        \
  static PyModuleDef lumetraDef_##name = {                                                    \
      PyModuleDef_HEAD_INIT,      #name,   nullptr, 0,      nullptr,                          \
      lumetraSlots_##name.data(), nullptr, nullptr, nullptr};                                 \
  PyMODINIT_FUNC PyInit_##name() { return PyModuleDef_Init(&lumetraDef_##name); }             \
  static void lumetraBody_##name(::pybind11::module_& variable)
// NOLINTEND(bugprone-macro-parentheses)
