// The rules that exist only so results match numpy's and pandas': the reduction rules each kind
// of input brings (numpy's reductions defer to a pandas Series' own methods, which skip NaN,
// while on arrays and lists NaN propagates), positional access, and numpy's floating-point
// error reports.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

namespace lumetra::bindings {

namespace py = pybind11;

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

}  // namespace lumetra::bindings
