// lumetra.lumetraTrace: the trace object, which holds one trace and every result computed
// from it as public attributes.
#include "module.hpp"

namespace py = pybind11;
using lumetra::bindings::asMethod;
using lumetra::bindings::makeClass;

namespace {

// Reads a trace file and guesses from its value range whether it has several levels.
void loadData(const py::module_& m, py::object self, py::object filename) {
  py::object data = m.attr("pd").attr("read_table")(filename);
  self.attr("frames") = data["Frame/10"];
  py::object intensity = data["CH1-BGND1"];
  self.attr("CH1mBGND1") = intensity;
  self.attr("fileName") = filename;

  py::object np = m.attr("np");
  py::object mean = np.attr("mean")(intensity);
  py::object max = np.attr("max")(intensity);
  py::object min = np.attr("min")(intensity);
  py::object r = (max - mean) / (mean - min);
  const bool multiLevel =
      r > py::int_(3) || r < py::float_(0.33) || (max - min) > py::int_(2) * mean;
  // Set either way, so the guess for one trace never carries over to the next one loaded.
  self.attr("stateNum") = py::int_(multiLevel ? 2 : 1);
}

py::object makeTraceClass(const py::module_& m) {
  py::dict ns;
  ns["__doc__"] = "One single-molecule FRET intensity trace and every result computed from it.";
  ns["stateNum"] = py::int_(1);
  ns["keepPairs"] = py::none();
  ns["dwellTime"] = py::dict();
  ns["trimTails"] = py::list();
  ns["loadData"] = asMethod(py::cpp_function(
      [m](py::object self, py::object filename) { loadData(m, self, filename); },
      py::name("loadData"), py::arg("self"), py::arg("filename"),
      "Load a tab-separated trace file with the columns 'Frame/10' and 'CH1-BGND1'."));
  return makeClass("lumetraTrace", py::make_tuple(py::reinterpret_borrow<py::object>(
                                                      reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                   ns, m);
}

}  // namespace

LUMETRA_MODULE(lumetraTrace, m) {
  m.attr("dataStatsCalac") = py::module_::import("lumetra.dataStatsCalac");
  m.attr("copy") = py::module_::import("copy");
  m.attr("np") = py::module_::import("numpy");
  m.attr("pd") = py::module_::import("pandas");
  py::module_ lmfit = py::module_::import("lmfit");
  m.attr("Minimizer") = lmfit.attr("Minimizer");
  m.attr("Parameters") = lmfit.attr("Parameters");
  m.attr("collections") = py::module_::import("collections");
  m.attr("lumetraTrace") = makeTraceClass(m);
}
