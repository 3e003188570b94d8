// The results a step fit stores on the trace object, and the one place that stores them.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>

namespace lumetra::bindings::trace {

namespace py = pybind11;

// The attributes a fit writes, in the order it writes them. keepPairs, written right after
// pairs when a fit saves its pairs, is not among them: it outlives the fit.
enum class FitResult : std::size_t {
  dataVar,
  dataNS,
  thresholdVar,
  pairs,
  newPairs,
  thresholdNS,
  pairs3,
  integralDy,
  thresholdBoolRR,
  thresholdBoolNS,
  rr,
  fr,
  partitions,
  moments,
};

inline constexpr std::array<const char*, 14> kFitResultNames = {
    "dataVar",     "dataNS", "thresholdVar", "pairs",           "newPairs",
    "thresholdNS", "pairs3", "integralDy",   "thresholdBoolRR", "thresholdBoolNS",
    "rr",          "fr",     "partitions",   "moments"};

// Writes a fit's results onto the trace object. Both bodies of the fit write through it, in
// the order above: the one-call fit all at once after the core is done, the call-by-call fit as
// each result is computed (so a step that raises leaves the earlier results written, as a
// Python method would).
class FitRecord {
 public:
  explicit FitRecord(py::handle self) : self_(self) {}

  // self.<name> = value; a result written out of order is a logic error.
  void put(FitResult what, py::object value);
  // self.keepPairs = saved, right after pairs.
  void keepPairs(py::object saved);

 private:
  py::handle self_;
  std::size_t next_ = 0;
};

}  // namespace lumetra::bindings::trace
