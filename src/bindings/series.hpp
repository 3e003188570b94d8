// Numbers handed in from Python, with the reduction rules their kind brings: numpy's
// reductions defer to a pandas Series' own methods, which skip NaN, while on arrays and
// lists NaN propagates.
#pragma once

#include <span>
#include <vector>

#include "module.hpp"
#include "pairs.hpp"

namespace lumetra::bindings {

struct Samples {
  std::vector<double> values;
  bool skipNaN = false;  // a pandas Series
};

bool isSeries(py::handle obj);
Samples toSamples(py::handle obj);

// numpy.mean of the object as it came in (with numpy's warning for an empty array).
double npMean(const Samples& samples);

// True for a list or tuple, and for an array or Series whose numpy dtype is float64 or an
// integer type: numpy computes on these in float64, as the fast paths do.
bool float64Input(py::handle obj);

// True when obj[i] for 0 <= i < len(obj) is the item at position i: a list, a tuple, a
// one-dimensional array, or a Series with the default index 0, 1, 2, ... (a Series looks items
// up by label).
bool positionalItems(py::handle obj);

// seq[start:stop] by position: through .iloc for a Series, plain slicing otherwise.
py::object positionalSlice(py::handle seq, py::handle start, py::handle stop);

// The numbers of a sequence as doubles, read in place when it is a one-dimensional float64
// array (or a Series over one) and copied otherwise; TypeError as toDoubles.
class DoubleView {
 public:
  explicit DoubleView(py::handle sequence);
  std::span<const double> values() const { return values_; }

 private:
  py::object owner_;  // keeps the viewed array alive
  std::vector<double> copy_;
  std::span<const double> values_;
};

// Elements 0 and 1 of every entry, as integers clipped like slice bounds (IndexError for a
// shorter entry, TypeError for bounds that are not integers); the sequence number is the
// entry's position.
std::vector<lumetra::Partition> toPartitions(py::handle partitions);

// Pairs and partitions as lists of [start, end, sequence number], each a list of its own.
template <typename Triple>
py::list tripleList(const std::vector<Triple>& triples) {
  py::list out(triples.size());
  for (std::size_t i = 0; i < triples.size(); ++i) {
    const std::ptrdiff_t values[3] = {triples[i].start, triples[i].end, triples[i].seq};
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), intList(values).release().ptr());
  }
  return out;
}

}  // namespace lumetra::bindings
