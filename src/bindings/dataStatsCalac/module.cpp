// lumetra.dataStatsCalac: stateless statistics of traces and windowed series, and the
// package's log configuration.
#include "module.hpp"

#include "functions.hpp"
#include "routes.hpp"

namespace py = pybind11;
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

  py::module_ self = m;
  m.def(
      "streamNS",
      [self](py::object stream, py::object windowsLen, py::object nsAlgo) {
        return st::streamNS(self, stream, windowsLen, nsAlgo);
      },
      py::arg("stream"), py::arg("windowsLen"), py::arg("nsAlgo") = "NSLocaltoGlobal",
      "The nonstationarity stream: one value of the component per window position.");
  m.def(
      "dataStatsVar",
      [self](py::object frames, py::object data, py::object windowsLen) {
        return st::dataStatsVar(self, frames, data, windowsLen);
      },
      py::arg("frames"), py::arg("data"), py::arg("windowsLen"),
      "Population variance of every window data[i:i + windowsLen], i up to len(frames) - "
      "windowsLen.");
  m.def(
      "dataMoment",
      [self](py::object data, py::object partitions, py::object N) {
        return st::dataMoment(self, data, partitions, N);
      },
      py::arg("data"), py::arg("partitions"), py::arg("N") = 2,
      "The N-th central moment (scipy.stats.moment) of each partition's samples.");
  m.def(
      "dataStd",
      [self](py::object data, py::object partitions) {
        return st::dataStd(self, data, partitions);
      },
      py::arg("data"), py::arg("partitions"),
      "Population standard deviation of each partition's samples.");
  m.def(
      "dataDerivation",
      [self](py::object frames, py::object data, py::object n) {
        return st::dataDerivation(self, frames, data, n);
      },
      py::arg("frames"), py::arg("data"), py::arg("n") = 1,
      "The n-th difference of data over the single frame step at each position.");
  m.def(
      "th", [self](py::object y, py::object rate) { return st::th(self, y, rate); }, py::arg("y"),
      py::arg("rate") = 1.1,
      "Threshold of a series: its mean raised by `rate` times its magnitude.");
  m.def(
      "thNS", [self](py::object ns) { return st::thNS(self, ns); }, py::arg("ns"),
      "Threshold of a nonstationarity stream.");
  m.def("genPairs", &st::genPairs, py::arg("data"), py::arg("th"),
        "Pairs [start, end, number] bracketing the runs of data above th.");
  m.def("genPartitions", &st::genPartitions, py::arg("pairs"), py::arg("halfWinLen"),
        py::arg("dataLen"), "Partitions [start, end, number] of the frames between the pairs.");
  m.def(
      "integralRange",
      [self](py::object x, py::object rangeList, py::object y, py::object halfWinLen) {
        return st::integralRange(self, x, rangeList, y, halfWinLen);
      },
      py::arg("x"), py::arg("rangeList"), py::arg("y"), py::arg("halfWinLen") = 0,
      "Running rectangle-rule integral of y over the window positions of rangeList.");
  m.def("chainFilters", &st::chainFilters, py::arg("pairs"), py::arg("halfWin"), py::arg("dx"),
        py::arg("th") = 0, "The pairs at least th wide (th 0: a width derived from halfWin).");
  m.def(
      "poly1_1div3", [self](py::object x, py::object y) { return st::poly1_1div3(self, x, y); },
      py::arg("x"), py::arg("y"),
      "Slope of a line fitted to the middle third, and its ratio to the max-to-min chord slope.");

  st::bindRoutes(m);
}
