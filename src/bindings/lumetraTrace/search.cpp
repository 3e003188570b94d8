// The parameter search: the objective _fitness and optimizeFitness, which minimises it by
// differential evolution through lmfit.
#include <array>
#include <stdexcept>
#include <string>

#include "convert.hpp"
#include "python.hpp"
#include "search_space.hpp"
#include "trace.hpp"

namespace lumetra::bindings::trace {

using namespace py::literals;

namespace {

std::string checkedCriterion(py::handle criterion) {
  if (py::isinstance<py::str>(criterion)) {
    auto name = criterion.cast<std::string>();
    for (std::string_view known : lumetra::kCriteria) {
      if (name == known) return name;
    }
  }
  std::string names;
  for (std::string_view known : lumetra::kCriteria) {
    names += (names.empty() ? "'" : " or '") + std::string(known) + "'";
  }
  throw py::value_error("criterion must be " + names + ", not " +
                        py::repr(criterion).cast<std::string>());
}

}  // namespace

py::object fitness(py::object self, py::object params) {
  const std::string criterion = checkedCriterion(self.attr("criterion"));
  py::dict par = params.attr("valuesdict")();
  py::object round = builtin("round");
  py::object halfWinLen = round(par["halfWinLen"]);
  // A setting whose window is longer than the trace has no window position to fit: the search
  // takes it as a rejected fit, so it explores only the windows that fit. Without a trace (an
  // object whose fitTrajectory stands in for the fit) the length is not known: fitTrajectory
  // decides.
  py::object trace = py::getattr(self, "CH1mBGND1", py::none());
  py::object windowsLen = halfWinLen * py::int_(2) + py::int_(1);
  if (!trace.is_none() && windowsLen > py::int_(py::len(trace))) return rejectedScore();
  py::object score = self.attr("fitTrajectory")(halfWinLen, par["rratio"], par["thrate"],
                                                round(par["filterWidth"]));
  if (criterion == lumetra::kCriteria[0] || score.equal(rejectedScore())) return score;
  try {
    return allFramesScore(self.attr("partitions"), self.attr("CH1mBGND1"));
  } catch (const std::domain_error&) {
    return rejectedScore();  // no frame to score
  }
}

void optimizeFitness(const py::module_& m, py::object self, py::object sHalfWin, py::object sRR,
                     py::object sThR, py::object sFilterW, py::object criterion) {
  self.attr("criterion") = py::str(checkedCriterion(criterion));
  py::object params = m.attr("Parameters")();
  py::list starts;
  for (const lumetra::SearchParameter& p : lumetra::kSearchParameters) {
    starts.append(
        py::make_tuple(py::str(p.name.data(), p.name.size()), integralOrFloat(p.start), true));
  }
  params.attr("add_many")(*starts);
  const std::array<py::object, 4> bounds = {sHalfWin, sRR, sThR, sFilterW};
  for (std::size_t i = 0; i < lumetra::kSearchParameters.size(); ++i) {
    const std::string_view name = lumetra::kSearchParameters[i].name;
    params[py::str(name.data(), name.size())].attr("set")("min"_a = bounds[i][py::int_(0)],
                                                          "max"_a = bounds[i][py::int_(1)],
                                                          "brute_step"_a = bounds[i][py::int_(2)]);
  }
  py::object minimizer = m.attr("Minimizer")(self.attr("_fitness"), params, "nan_policy"_a = "omit",
                                             "max_nfev"_a = lumetra::kSearchEvaluations);
  self.attr("optRes") = minimizer.attr("minimize")("method"_a = "differential_evolution");
}

}  // namespace lumetra::bindings::trace
