// The one set of converters between Python objects and the core's numbers, bounds and lists.
// Readers named `exact...` or `plain...` answer nothing (std::nullopt) for objects that only the
// call-by-call formula handles exactly; the callers then fall back to it.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "criterion.hpp"
#include "pairs.hpp"

namespace lumetra::bindings {

namespace py = pybind11;

// ---- Numbers ----------------------------------------------------------------------------------

// operator.index(obj) as a Py_ssize_t: TypeError for non-integers.
Py_ssize_t toIndex(py::handle obj);

// operator.index(obj) clipped to the Py_ssize_t range, as a slice bound is: TypeError for
// non-integers.
Py_ssize_t clippedIndex(py::handle obj);

// float(obj) as a double: TypeError for objects that are not real numbers (text included).
double toDouble(py::handle obj);

// What exactInteger does when the object's own __index__ raises.
enum class IndexFailure { giveNothing, raise };

// An integer (Python's, numpy's or a bool; never a float) that fits in 64 bits.
std::optional<long long> exactInteger(py::handle value,
                                      IndexFailure onFailure = IndexFailure::giveNothing);

// A bound that compares with frame indices exactly as a double: a float, or an integer of at
// most 53 bits.
std::optional<double> exactBound(py::handle bound);

// True for a float, or a Python int (not a bool) that a double holds exactly: compared as
// doubles they behave as in Python.
bool plainReal(py::handle value);

// A Python int when the value is integral, a float otherwise (as the search's numbers are
// written: 5, 3.1, -1, 0.01).
py::object integralOrFloat(double value);

// A score as numpy gives it: a numpy.float64.
py::object numpyFloat(double value);

// ---- Sequences of numbers ---------------------------------------------------------------------

// The numbers of a sequence as doubles (lists are read directly, anything else through
// numpy); raises TypeError for elements that are not real numbers.
std::vector<double> toDoubles(py::handle sequence);

// The numbers of a sequence as doubles, read in place when it is a one-dimensional float64
// array (or a Series over one) and copied otherwise; TypeError as toDoubles.
class DoubleView {
 public:
  explicit DoubleView(py::handle sequence);
  [[nodiscard]] std::span<const double> values() const { return values_; }

 private:
  py::object owner_;  // keeps the viewed array alive
  std::vector<double> copy_;
  std::span<const double> values_;
};

// A list of Python floats.
py::list floatList(std::span<const double> values);

// A list of Python ints.
py::list intList(std::span<const std::ptrdiff_t> values);

// ---- Pair and partition lists -----------------------------------------------------------------

// Elements 0 and 1 of every entry, as integers clipped like slice bounds (IndexError for a
// shorter entry, TypeError for bounds that are not integers); the sequence number is the
// entry's position.
std::vector<lumetra::Partition> toPartitions(py::handle partitions);

// A list or tuple of lists or tuples with at least two items, whose first two are exact
// integers (partitions) or exact bounds (peaks); nothing for anything else.
std::optional<std::vector<lumetra::Partition>> plainPartitions(py::handle entries);
std::optional<std::vector<lumetra::PeakBounds>> plainPeaks(py::handle entries);

// Pairs and partitions as lists of [start, end, sequence number], each a list of its own.
template <typename Triple>
py::list tripleList(const std::vector<Triple>& triples) {
  py::list out(triples.size());
  for (std::size_t i = 0; i < triples.size(); ++i) {
    const std::array<std::ptrdiff_t, 3> values = {triples[i].start, triples[i].end, triples[i].seq};
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), intList(values).release().ptr());
  }
  return out;
}

}  // namespace lumetra::bindings
