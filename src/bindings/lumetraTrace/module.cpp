// lumetra.lumetraTrace: the trace object, which holds one trace and every result computed
// from it as public attributes, and the module functions on fits and transitions.
#include "module.hpp"

#include "routed.hpp"
#include "trace.hpp"

namespace py = pybind11;
namespace lb = lumetra::bindings;
namespace tr = lumetra::bindings::trace;

LUMETRA_MODULE(lumetraTrace, m) {
  m.attr("dataStatsCalac") = py::module_::import("lumetra.dataStatsCalac");
  m.attr("copy") = py::module_::import("copy");
  m.attr("np") = py::module_::import("numpy");
  m.attr("pd") = py::module_::import("pandas");
  py::module_ lmfit = py::module_::import("lmfit");
  m.attr("Minimizer") = lmfit.attr("Minimizer");
  m.attr("Parameters") = lmfit.attr("Parameters");
  m.attr("collections") = py::module_::import("collections");
  m.attr("lumetraTrace") = tr::makeTraceClass(m);

  lb::defRouted(m, {"inPeakList"}, &tr::inPeakList, py::arg("x"), py::arg("PeakList"),
                "Whether x lies in one of the closed intervals [p[0], p[1]] of PeakList.");
  // xic looks inPeakList up by name at every frame.
  lb::defRouted(
      m, {"xic", {{"np", {"mean", "sum", "square", "log2", "log"}}}, {{"", {"inPeakList"}}}},
      &tr::xic, py::arg("partitions"), py::arg("CH1mBGND1"), py::arg("peakList"),
      py::arg("halfWinLen"),
      "Information criterion of a step fit; frames inside an interval of peakList are left out.");
  m.def("bic", &tr::allFramesScore, py::arg("partitions"), py::arg("CH1mBGND1"),
        "BIC of a step fit over every frame: neighbours merged on a copy, each transition "
        "stretch split at its least-squares point.");
  m.def("transitionDensityPlot", &tr::transitionDensityPlot, py::arg("lumetraObj"),
        py::arg("binSize") = 0.1, py::arg("figSize") = 600, py::arg("i") = 0, py::arg("fret0") = 0,
        py::arg("fret1") = 1, "Show the transition density plot of a trace object's statistics.");
}
