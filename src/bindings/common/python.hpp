// Small pieces of Python behaviour that binding code reproduces: truth values, assertions,
// warnings, item look-up and the builtins.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace lumetra::bindings {

namespace py = pybind11;

// False when the interpreter runs with -O, where `assert` statements are skipped.
bool assertionsEnabled();

// Python's truth value of an object (errors of __bool__ propagate).
bool truthy(py::handle obj);

// Raises AssertionError without a message.
[[noreturn]] void failAssertion();

// Raises OverflowError with the message.
[[noreturn]] void failOverflow(const std::string& message);

// Warns with `category` (a warning class), as warnings.warn would from the caller's frame.
void warn(py::handle category, const char* message);

// seq[key] and seq[index], as the Python expression looks the item up.
py::object item(py::handle seq, py::handle key);
py::object item(py::handle seq, Py_ssize_t index);

// The builtin of that name (`range`, `round`, `min`, ...).
py::object builtin(const char* name);

}  // namespace lumetra::bindings
