// lumetra.dataStatsCalac: stateless statistics of traces and windowed series, and the
// package's log configuration.
#include <algorithm>
#include <array>
#include <cmath>
#include <string_view>

#include "module.hpp"
#include "nonstationarity.hpp"
#include "nonstationarity_api.hpp"
#include "series.hpp"

namespace py = pybind11;
using namespace py::literals;
namespace lb = lumetra::bindings;

namespace {

constexpr std::array<std::string_view, 4> kNsAlgos = {"NSLocaltoGlobal", "NSLefttoRight",
                                                 "NSdichotomy", "NSCircleLefttoRight"};

const lb::NonStationaryApi* nativeApi = nullptr;

// The native component's C++ state when `nsm` is one of its own instances with its own
// nsFuncRange; otherwise every window has to go through Python.
const lumetra::NonStationary* nativeState(py::handle nsm) {
  if (nativeApi == nullptr || Py_TYPE(nsm.ptr()) != nativeApi->type) return nullptr;
  PyObject* method = PyDict_GetItemString(nativeApi->type->tp_dict, "nsFuncRange");
  if (method != nativeApi->nsFuncRange) return nullptr;
  return nativeApi->state(nsm.ptr());
}

py::list streamNS(py::module_ m, py::object stream, py::object windowsLen, py::object nsAlgo) {
  if (lb::assertionsEnabled()) {
    bool known = false;
    for (std::string_view name : kNsAlgos) {
      known = known || py::str(name.data(), name.size()).equal(nsAlgo);
    }
    if (!known) lb::failAssertion();
  }
  py::object nsm = m.attr("ns").attr("NonStationary")();
  nsm.attr("setupDS")(windowsLen);
  nsm.attr("data") = stream.attr("tolist")();
  const Py_ssize_t xSize = py::len(stream);
  const Py_ssize_t width = lb::toIndex(windowsLen);
  const Py_ssize_t n = std::max<Py_ssize_t>(xSize - width + 1, 0);

  if (const lumetra::NonStationary* state = nativeState(nsm);
      state != nullptr && py::isinstance<py::str>(nsAlgo)) {
    const auto name = nsAlgo.cast<std::string_view>();
    // An unknown name goes the slow way, where the component raises its own error.
    if (std::find(kNsAlgos.begin(), kNsAlgos.end(), name) != kNsAlgos.end()) {
      std::vector<double> out(static_cast<std::size_t>(n));
      {
        // The instance is local to this call, so nothing else can touch its data.
        py::gil_scoped_release release;
        state->stream(lumetra::parseNsAlgo(name), width, out);
      }
      return lb::floatList(out);
    }
  }

  py::list rl(n);
  for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(rl.ptr(), i, py::int_(0).release().ptr());
  py::object nsFuncRange = nsm.attr("nsFuncRange");
  for (Py_ssize_t i = 0; i < n; ++i) rl[i] = nsFuncRange(nsAlgo, i, i + width);
  return rl;
}

double th(py::object y, double rate) {
  const double meanY = lb::npMean(lb::toSamples(y));
  return meanY + rate * std::abs(meanY);
}

py::object thNS(py::object ns) {
  const double meanNS = lb::npMean(lb::toSamples(ns));
  if (meanNS > 0) return py::float_(3 * meanNS);
  py::module_ builtins = py::module_::import("builtins");
  return py::int_(2) * builtins.attr("abs")(builtins.attr("min")(ns));
}

void configureLogging(py::module_& m) {
  py::object logging = m.attr("logging");
  logging.attr("basicConfig")("filename"_a = "debug.log", "filemode"_a = "a",
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
  nativeApi = static_cast<const lb::NonStationaryApi*>(PyCapsule_Import(lb::kNonStationaryCapsule, 0));
  if (nativeApi == nullptr) PyErr_Clear();  // a stand-in component: always go window by window
  configureLogging(m);

  py::module_ self = m;
  m.def(
      "streamNS",
      [self](py::object stream, py::object windowsLen, py::object nsAlgo) {
        return streamNS(self, stream, windowsLen, nsAlgo);
      },
      py::arg("stream"), py::arg("windowsLen"), py::arg("nsAlgo") = "NSLocaltoGlobal",
      "The nonstationarity stream: one value of the component per window position.");
  m.def("th", &th, py::arg("y"), py::arg("rate") = 1.1,
        "Threshold of a series: its mean raised by `rate` times its magnitude.");
  m.def("thNS", &thNS, py::arg("ns"), "Threshold of a nonstationarity stream.");
}
