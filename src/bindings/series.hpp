// Numbers handed in from Python, with the reduction rules their kind brings: numpy's
// reductions defer to a pandas Series' own methods, which skip NaN, while on arrays and
// lists NaN propagates.
#pragma once

#include <vector>

#include "module.hpp"

namespace lumetra::bindings {

struct Samples {
  std::vector<double> values;
  bool skipNaN = false;  // a pandas Series
};

bool isSeries(py::handle obj);
Samples toSamples(py::handle obj);

// numpy.mean of the object as it came in (with numpy's warning for an empty array).
double npMean(const Samples& samples);

}  // namespace lumetra::bindings
