#include "search.hpp"

#include <pybind11/stl.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "search_space.hpp"
#include "step_fit.hpp"
#include "step_search.hpp"

namespace py = pybind11;

namespace lumetra::bindings::batch {

namespace {

py::object search(const Doubles& frames, const Doubles& intensity,
                  const std::array<double, 4>& minimum, const std::array<double, 4>& maximum,
                  const std::string& criterion, std::size_t stateNum, std::uint64_t seed,
                  std::size_t maxEvaluations) {
  if (criterion != kCriteria[0] && criterion != kCriteria[1]) {
    throw py::value_error("criterion must be 'xic' or 'bic', not '" + criterion + "'");
  }
  if (frames.ndim() != 1 || intensity.ndim() != 1 || frames.size() != intensity.size()) {
    throw std::invalid_argument("frames and intensity must be one-dimensional and of equal length");
  }
  StepSearchSettings settings;
  settings.min = minimum;
  settings.max = maximum;
  settings.allFrames = criterion == kCriteria[1];
  settings.stateNum = stateNum;
  settings.evolution.seed = seed;
  settings.evolution.maxEvaluations = maxEvaluations;
  const auto x = view(frames), y = view(intensity);
  StepSearchResult found;
  try {
    py::gil_scoped_release release;
    NonStationary stream;
    stream.setData({y.begin(), y.end()});
    found = searchStepFit(x, y, stream, settings);
  } catch (const StepFitUnsupported&) {
    return py::none();
  }
  py::dict out;
  py::dict values;
  for (std::size_t p = 0; p < kSearchParameters.size(); ++p) {
    const std::string_view name = kSearchParameters[p].name;
    values[py::str(name.data(), name.size())] = found.values[p];
  }
  out["values"] = values;
  out["score"] = found.score;
  out["evaluations"] = found.evaluations;
  out["generations"] = found.generations;
  out["converged"] = found.converged;
  out["half_windows"] = found.halfWindows;
  return out;
}

}  // namespace

void addSearch(py::module_& m) {
  m.def("search_step_fit", &search, py::arg("frames"), py::arg("intensity"), py::arg("minimum"),
        py::arg("maximum"), py::kw_only(), py::arg("criterion") = "xic", py::arg("state_num") = 1,
        py::arg("seed") = 0, py::arg("max_evaluations") = kSearchEvaluations,
        "Differential evolution over the four fit parameters (bounds in PARAMETER_NAMES order) "
        "on the core fit: values (the best setting, windows unrounded), score, evaluations, "
        "generations, converged, half_windows; None when a setting needs the step-by-step fit.");
}

}  // namespace lumetra::bindings::batch
