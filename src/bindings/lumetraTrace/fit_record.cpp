#include "fit_record.hpp"

#include <stdexcept>
#include <string>

namespace lumetra::bindings::trace {

void FitRecord::put(FitResult what, py::object value) {
  const auto index = static_cast<std::size_t>(what);
  if (index < next_) {
    throw std::logic_error(std::string("fit result written out of order: ") +
                           kFitResultNames[index]);
  }
  next_ = index + 1;
  self_.attr(kFitResultNames[index]) = std::move(value);
}

void FitRecord::keepPairs(py::object saved) {
  if (next_ != static_cast<std::size_t>(FitResult::pairs) + 1) {
    throw std::logic_error("keepPairs written other than right after pairs");
  }
  self_.attr("keepPairs") = std::move(saved);
}

}  // namespace lumetra::bindings::trace
