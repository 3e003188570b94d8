// lumetra.dataStatsCalac: stateless statistics of traces and windowed series, and the
// package's log configuration.
#include "module.hpp"

#include "functions.hpp"
#include "routed.hpp"

namespace py = pybind11;
namespace lb = lumetra::bindings;
namespace st = lumetra::bindings::stats;
using namespace py::literals;

namespace {

void configureLogging(py::module_& m) {
  py::object logging = m.attr("logging");
  logging.attr("basicConfig")(
      "filename"_a = "debug.log", "filemode"_a = "a",
      "format"_a = "%(asctime)s,%(msecs)d %(name)s %(levelname)s %(message)s",
      "datefmt"_a = "%H:%M:%S", "level"_a = logging.attr("DEBUG"));
}

}  // namespace

LUMETRA_MODULE(dataStatsCalac, m) {
  m.attr("np") = py::module_::import("numpy");
  m.attr("Polynomial") = py::module_::import("numpy.polynomial").attr("Polynomial");
  m.attr("ns") = py::module_::import("nonstationarity");
  m.attr("moment") = py::module_::import("scipy.stats").attr("moment");
  m.attr("math") = py::module_::import("math");
  m.attr("logging") = py::module_::import("logging");
  st::loadNativeApi();
  configureLogging(m);

  // Each function with the names of this module its C++ body stands in for; pairs, partitions
  // and the width filter use none (they fall back to their formula by their arguments alone),
  // but the step fit watches them as its callees.
  lb::defRouted(m, {"streamNS", {{"ns", {"NonStationary"}}}, {}, &st::nativeComponent},
                &st::streamNS, py::arg("stream"), py::arg("windowsLen"),
                py::arg("nsAlgo") = "NSLocaltoGlobal",
                "The nonstationarity stream: one value of the component per window position.");
  lb::defRouted(m, {"dataStatsVar", {{"np", {"var"}}}}, &st::dataStatsVar, py::arg("frames"),
                py::arg("data"), py::arg("windowsLen"),
                "Population variance of every window data[i:i + windowsLen], i up to "
                "len(frames) - windowsLen.");
  lb::defRouted(m, {"dataMoment", {{"moment"}}}, &st::dataMoment, py::arg("data"),
                py::arg("partitions"), py::arg("N") = 2,
                "The N-th central moment (scipy.stats.moment) of each partition's samples.");
  lb::defRouted(m, {"dataStd", {{"np", {"std"}}}}, &st::dataStd, py::arg("data"),
                py::arg("partitions"),
                "Population standard deviation of each partition's samples.");
  lb::defRouted(m, {"dataDerivation", {{"np", {"diff"}}}}, &st::dataDerivation, py::arg("frames"),
                py::arg("data"), py::arg("n") = 1,
                "The n-th difference of data over the single frame step at each position.");
  lb::defRouted(m, {"th", {{"np", {"mean"}}}}, &st::th, py::arg("y"), py::arg("rate") = 1.1,
                "Threshold of a series: its mean raised by `rate` times its magnitude.");
  lb::defRouted(m, {"thNS", {{"np", {"mean"}}}}, &st::thNS, py::arg("ns"),
                "Threshold of a nonstationarity stream.");
  lb::defRouted(m, {"genPairs"}, &st::genPairs, py::arg("data"), py::arg("th"),
                "Pairs [start, end, number] bracketing the runs of data above th.");
  lb::defRouted(m, {"genPartitions"}, &st::genPartitions, py::arg("pairs"), py::arg("halfWinLen"),
                py::arg("dataLen"),
                "Partitions [start, end, number] of the frames between the pairs.");
  lb::defRouted(m, {"integralRange", {{"np", {"diff"}}}}, &st::integralRange, py::arg("x"),
                py::arg("rangeList"), py::arg("y"), py::arg("halfWinLen") = 0,
                "Running rectangle-rule integral of y over the window positions of rangeList.");
  lb::defRouted(m, {"chainFilters"}, &st::chainFilters, py::arg("pairs"), py::arg("halfWin"),
                py::arg("dx"), py::arg("th") = 0,
                "The pairs at least th wide (th 0: a width derived from halfWin).");
  lb::defRouted(m, {"poly1_1div3", {{"Polynomial"}, {"np", {"argmax", "argmin"}}}},
                &st::poly1_1div3, py::arg("x"), py::arg("y"),
                "Slope of a line fitted to the middle third, and its ratio to the max-to-min "
                "chord slope.");
}
