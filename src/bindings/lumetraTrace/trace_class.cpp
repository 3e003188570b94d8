// The class lumetraTrace: one trace and every result computed from it, as public attributes.
#include <string>

#include "convert.hpp"
#include "routed.hpp"
#include "search_space.hpp"
#include "step_fit.hpp"
#include "trace.hpp"

namespace lumetra::bindings::trace {

namespace {

// The search's keyword argument for parameter i, defaulting to its (min, max, step).
py::arg_v searchBounds(std::size_t i) {
  const lumetra::SearchParameter& p = lumetra::kSearchParameters[i];
  return py::arg(p.keyword.data()) = py::make_tuple(integralOrFloat(p.min), integralOrFloat(p.max),
                                                    integralOrFloat(p.step));
}

}  // namespace

py::object makeTraceClass(const py::module_& m) {
  py::dict ns;
  ns["__doc__"] = "One single-molecule FRET intensity trace and every result computed from it.";
  ns["stateNum"] = py::int_(1);
  ns["keepPairs"] = py::none();
  ns["criterion"] = py::str(lumetra::kCriteria[0].data());
  ns["dwellTime"] = py::dict();
  ns["trimTails"] = py::list();
  static const std::string fitDoc =
      "Fit a multi-level step trajectory for one parameter setting and return its score "
      "(smaller is better; " +
      std::to_string(lumetra::kRejectedFit) + " for a rejected fit).";
  ns["loadData"] = asMethod(py::cpp_function(
      [m](py::object self, py::object filename) { loadData(m, self, filename); },
      py::name("loadData"), py::arg("self"), py::arg("filename"),
      "Load a tab-separated trace file with the columns 'Frame/10' and 'CH1-BGND1'."));
  // The statistics functions the step fit calls, through this module's name dataStatsCalac,
  // and the score, by this module's name.
  ns["fitTrajectory"] = routedMethod(
      m,
      {"fitTrajectory",
       {{"copy", {"deepcopy"}}},
       {{"dataStatsCalac",
         {"dataStatsVar", "dataDerivation", "streamNS", "th", "genPairs", "chainFilters", "thNS",
          "integralRange", "poly1_1div3", "genPartitions", "dataStd"}},
        {"", {"xic"}}}},
      &fitTrajectory, py::arg("self"), py::arg("halfWinLen"), py::arg("rratio"), py::arg("thrate"),
      py::arg("filterWidth"), py::arg("keepPairs") = false, fitDoc.c_str());
  ns["_fitness"] =
      asMethod(py::cpp_function(&fitness, py::name("_fitness"), py::arg("self"), py::arg("params"),
                                "The fit score for an lmfit parameter set."));
  ns["optimizeFitness"] = asMethod(py::cpp_function(
      [m](py::object self, py::object sHalfWin, py::object sRR, py::object sThR,
          py::object sFilterW, py::object criterion) {
        optimizeFitness(m, self, sHalfWin, sRR, sThR, sFilterW, criterion);
      },
      py::name("optimizeFitness"), py::arg("self"), searchBounds(0), searchBounds(1),
      searchBounds(2), searchBounds(3), py::arg("criterion") = lumetra::kCriteria[0].data(),
      "Search the four fit parameters by differential evolution; the result goes to optRes.\n\n"
      "criterion 'xic' scores each setting with xic; 'bic' with the BIC of the merged fit over "
      "every frame, each transition stretch split at its least-squares point. The choice is "
      "kept as the object's criterion, which _fitness follows."));
  ns["refineTransitions"] = asMethod(py::cpp_function(
      &refineTransitions, py::name("refineTransitions"), py::arg("self"),
      "After finalPartitions: place one or two change points in transition stretches by "
      "BIC; stores changePoints (frame indices) and idealPath (the level of every frame)."));
  ns["mergeNeighbours"] = routedMethod(
      m, {"mergeNeighbours", {{"np", {"mean", "std"}}}}, &mergeNeighbours, py::arg("self"),
      "Join neighbouring partitions whose levels cannot be told apart.");
  ns["finalPartitions"] = asMethod(py::cpp_function(
      [m](py::object self) { return finalPartitions(m, self); }, py::name("finalPartitions"),
      py::arg("self"), "Merge neighbouring levels, record their means and return the partitions."));
  ns["transitionStatistics"] = asMethod(py::cpp_function(
      [m](py::object self, py::object xlsx, py::object tgtCol, py::object mergeAll,
          py::object trimTailsThreshold) {
        transitionStatistics(m, self, xlsx, tgtCol, mergeAll, trimTailsThreshold);
      },
      py::name("transitionStatistics"), py::arg("self"), py::arg("xlsx"), py::arg("tgtCol") = "Idl",
      py::arg("mergeAll") = true, py::arg("trimTailsThreshold") = -1,
      "Make transition's statistics\n\n"
      "trimTailsThreshold float: When trimTailsThreshold=-1, we don't trim tails; when "
      "trimTailsThreshold=1 it trims tails with Threshold=abs(minidl)"));
  ns["getDwellTimeDict"] = asMethod(py::cpp_function(
      [m](py::object self) { return getDwellTimeDict(m, self); }, py::name("getDwellTimeDict"),
      py::arg("self"), "The dwell times by level, in ascending order of level."));
  return makeClass("lumetraTrace",
                   py::make_tuple(py::reinterpret_borrow<py::object>(
                       reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                   ns, m);
}

}  // namespace lumetra::bindings::trace
