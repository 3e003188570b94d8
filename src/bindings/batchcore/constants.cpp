#include "constants.hpp"

#include "convert.hpp"
#include "lumetraTrace/fit_record.hpp"
#include "search_space.hpp"
#include "step_fit.hpp"

namespace lumetra::bindings::batch {

namespace py = pybind11;

namespace {

py::str text(std::string_view s) { return {s.data(), s.size()}; }

}  // namespace

void addConstants(py::module_& m) {
  m.attr("REJECTED_SCORE") = py::int_(lumetra::kRejectedFit);
  py::list criteria;
  for (std::string_view name : lumetra::kCriteria) criteria.append(text(name));
  m.attr("CRITERIA") = py::tuple(criteria);
  py::list names;
  py::dict defaults, keywords;
  for (const lumetra::SearchParameter& p : lumetra::kSearchParameters) {
    names.append(text(p.name));
    defaults[text(p.name)] =
        py::make_tuple(integralOrFloat(p.min), integralOrFloat(p.max), integralOrFloat(p.step));
    keywords[text(p.name)] = text(p.keyword);
  }
  m.attr("PARAMETER_NAMES") = py::tuple(names);
  m.attr("SEARCH_DEFAULTS") = defaults;
  m.attr("SEARCH_KEYWORDS") = keywords;
  py::list attributes;
  for (const char* name : trace::kFitResultNames) attributes.append(name);
  m.attr("FIT_ATTRIBUTES") = py::tuple(attributes);
}

}  // namespace lumetra::bindings::batch
