// Shared pieces of the extension modules: the module definition macro and the helpers
// every binding file uses to build Python classes and convert numbers.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <utility>
#include <vector>

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

// False when the interpreter runs with -O, where `assert` statements are skipped.
bool assertionsEnabled();

// Python's truth value of an object (errors of __bool__ propagate).
bool truthy(py::handle obj);

// Raises AssertionError without a message.
[[noreturn]] void failAssertion();

// operator.index(obj) as a Py_ssize_t: TypeError for non-integers.
Py_ssize_t toIndex(py::handle obj);

// operator.index(obj) clipped to the Py_ssize_t range, as a slice bound is: TypeError for
// non-integers.
Py_ssize_t clippedIndex(py::handle obj);

// Raises OverflowError with the message.
[[noreturn]] void failOverflow(const std::string& message);

// float(obj) as a double: TypeError for objects that are not real numbers.
double toDouble(py::handle obj);

// A list of Python floats.
py::list floatList(std::span<const double> values);

// A list of Python ints.
py::list intList(std::span<const std::ptrdiff_t> values);

// Warns with `category` (a warning class), as warnings.warn would from the caller's frame.
void warn(py::handle category, const char* message);

// numpy's report of floating-point errors in an operation ("divide", "scalar divide", "log"):
// collect what happened, then report() it the way numpy.seterr says (warn, raise
// FloatingPointError or stay silent), in numpy's order.
class FloatingErrors {
 public:
  // IEEE division a / b: a finite nonzero a over 0 divides by zero, 0 / 0 and inf / inf are
  // invalid, finite operands with an infinite result overflow.
  void noteDivision(double numerator, double denominator);
  void noteDivideByZero() { divide_ = true; }
  void report(const char* operation) const;

 private:
  bool divide_ = false;
  bool overflow_ = false;
  bool invalid_ = false;
};

// What a module bound to some of its names when it was loaded.  Fast paths run only while the
// names, and the attributes of them they use, still refer to those objects, so that a caller
// who replaces one (np, moment, a numpy function, ...) is honoured.
class Originals {
 public:
  // Remembers what `ns.name` and each `ns.name.attribute` refer to now.
  void remember(py::handle ns, const char* name,
                std::initializer_list<const char*> attributes = {});
  // True while `ns.name` and the listed attributes still refer to what was remembered.
  bool unchanged(py::handle ns, const char* name,
                 std::initializer_list<const char*> attributes = {}) const;

 private:
  PyObject* find(const std::string& key) const;
  // Strong references, kept for the life of the process like the module itself.
  std::vector<std::pair<std::string, PyObject*>> objects_;
};

// The numbers of a sequence as doubles (lists are read directly, anything else through
// numpy); raises TypeError for elements that are not real numbers.
std::vector<double> toDoubles(py::handle sequence);

}  // namespace lumetra::bindings

// Defines a module with multi-phase initialisation: `PyInit_<name>` returns the
// definition, creation refuses a second interpreter, and the body runs once, on the
// module object the import system hands over.
#define LUMETRA_MODULE(name, variable)                                                        \
  static void lumetraBody_##name(::pybind11::module_& variable);                              \
  static ::lumetra::bindings::ModuleGuard lumetraGuard_##name{#name};                         \
  static PyObject* lumetraCreate_##name(PyObject* spec, PyModuleDef*) {                       \
    return ::lumetra::bindings::createModule(lumetraGuard_##name, spec);                      \
  }                                                                                           \
  static int lumetraExec_##name(PyObject* module) {                                           \
    return ::lumetra::bindings::execModule(lumetraGuard_##name, module, &lumetraBody_##name); \
  }                                                                                           \
  static PyModuleDef_Slot lumetraSlots_##name[] = {                                           \
      {Py_mod_create, reinterpret_cast<void*>(&lumetraCreate_##name)},                        \
      {Py_mod_exec, reinterpret_cast<void*>(&lumetraExec_##name)},                            \
      {0, nullptr}};                                                                          \
  static PyModuleDef lumetraDef_##name = {                                                    \
      PyModuleDef_HEAD_INIT, #name,   nullptr, 0,      nullptr,                               \
      lumetraSlots_##name,   nullptr, nullptr, nullptr};                                      \
  PyMODINIT_FUNC PyInit_##name() { return PyModuleDef_Init(&lumetraDef_##name); }             \
  static void lumetraBody_##name(::pybind11::module_& variable)
