// lumetra.lumetraTrace: the trace object, which holds one trace and every result computed
// from it as public attributes.
#include <cmath>
#include <optional>
#include <stdexcept>
#include <vector>

#include "criterion.hpp"
#include "module.hpp"
#include "series.hpp"

namespace py = pybind11;
namespace lb = lumetra::bindings;
using lumetra::bindings::asMethod;
using lumetra::bindings::makeClass;

namespace {

// np as bound at load, and the module's own inPeakList (a strong reference kept for the
// process); a caller that replaces either gets the frame-by-frame Python formula.
lb::Originals originals;
PyObject* ownInPeakList = nullptr;

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

bool inPeakList(py::object x, py::object peakList) {
  for (py::handle p : peakList) {
    auto interval = py::reinterpret_borrow<py::object>(p);
    if (x >= interval[py::int_(0)] && x <= interval[py::int_(1)]) return true;
  }
  return false;
}

// An integer (Python's or numpy's) that fits in 64 bits.
std::optional<long long> plainInteger(py::handle value) {
  if (PyFloat_Check(value.ptr()) || !PyIndex_Check(value.ptr())) return std::nullopt;
  const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) {
    PyErr_Clear();
    return std::nullopt;
  }
  int overflow = 0;
  const long long result = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (overflow != 0) return std::nullopt;
  return result;
}

// A bound that compares with frame indices exactly as a double: a float, or an integer of at
// most 53 bits.
std::optional<double> plainBound(py::handle bound) {
  if (PyFloat_Check(bound.ptr())) return PyFloat_AS_DOUBLE(bound.ptr());
  const auto value = plainInteger(bound);
  if (!value || std::abs(static_cast<double>(*value)) > 0x1p53) return std::nullopt;
  return static_cast<double>(*value);
}

// The entries of a list or tuple of lists or tuples with at least two items, or nothing.
template <typename Entry>
std::optional<std::vector<Entry>> plainEntries(py::handle entries,
                                               std::optional<Entry> (*read)(py::handle,
                                                                            py::handle)) {
  if (!PyList_CheckExact(entries.ptr()) && !PyTuple_CheckExact(entries.ptr())) return std::nullopt;
  std::vector<Entry> out;
  for (py::handle entry : entries) {
    if (!PyList_CheckExact(entry.ptr()) && !PyTuple_CheckExact(entry.ptr())) return std::nullopt;
    if (PySequence_Fast_GET_SIZE(entry.ptr()) < 2) return std::nullopt;
    auto value =
        read(PySequence_Fast_GET_ITEM(entry.ptr(), 0), PySequence_Fast_GET_ITEM(entry.ptr(), 1));
    if (!value) return std::nullopt;
    out.push_back(*value);
  }
  return out;
}

std::optional<lumetra::PeakBounds> readPeak(py::handle lo, py::handle hi) {
  const auto first = plainBound(lo);
  const auto last = plainBound(hi);
  if (!first || !last) return std::nullopt;
  return lumetra::PeakBounds{*first, *last};
}

std::optional<lumetra::Partition> readPartition(py::handle start, py::handle end) {
  const auto first = plainInteger(start);
  const auto last = plainInteger(end);
  if (!first || !last) return std::nullopt;
  return lumetra::Partition{*first, *last, 0};
}

// xic through the core when every argument is plain and every used frame lies in the trace;
// nothing otherwise, so that the Python formula produces its own result or error.
std::optional<py::object> xicFast(py::object partitions, py::object intensity,
                                  py::object peakList) {
  if (!lb::positionalItems(intensity) || !lb::float64Input(intensity)) return std::nullopt;
  const auto parts = plainEntries(partitions, readPartition);
  const auto peaks = plainEntries(peakList, readPeak);
  if (!parts || !peaks) return std::nullopt;
  const std::vector<double> values = lb::toDoubles(intensity);
  const lumetra::PeakIndex index(*peaks);
  lumetra::Residuals residuals;
  try {
    residuals = lumetra::partitionResiduals(
        values, *parts, [&index](std::ptrdiff_t frame) { return index.contains(frame); });
  } catch (const std::out_of_range&) {
    return std::nullopt;
  }
  double score = 0.0;
  try {
    score = lumetra::informationCriterion(residuals, parts->size(), peaks->size(), values.size());
  } catch (const std::domain_error& e) {
    PyErr_SetString(PyExc_ZeroDivisionError, e.what());
    throw py::error_already_set();
  }
  lb::FloatingErrors errors;
  if (residuals.rss == 0) errors.noteDivideByZero();
  errors.report("log");
  return py::float_(score);
}

bool ownInPeakListBound(const py::module_& m) {
  PyObject* bound = PyObject_GetAttrString(m.ptr(), "inPeakList");
  if (bound == nullptr) {
    PyErr_Clear();
    return false;
  }
  Py_DECREF(bound);  // only its identity is needed
  return bound == ownInPeakList;
}

py::object xic(const py::module_& m, py::object partitions, py::object intensity,
               py::object peakList) {
  if (originals.unchanged(m, "np", {"mean", "sum", "square", "log2", "log"}) &&
      ownInPeakListBound(m)) {
    if (auto fast = xicFast(partitions, intensity, peakList)) return *fast;
  }
  py::object np = m.attr("np");
  py::object range = py::module_::import("builtins").attr("range");
  py::object rss = py::int_(0);
  py::object used = py::int_(0);
  py::object k =
      py::int_(3) * py::int_(py::len(partitions)) + py::int_(2) * py::int_(py::len(peakList));
  for (py::handle p : partitions) {
    auto partition = py::reinterpret_borrow<py::object>(p);
    py::list yc;
    py::object first = partition[py::int_(0)];
    py::object last = partition[py::int_(1)];
    for (py::handle pi : range(first, last)) {
      // Looked up at each use, as the name of a module function is.
      py::object inPeak = m.attr("inPeakList")(pi, peakList);
      const int truth = PyObject_IsTrue(inPeak.ptr());
      if (truth < 0) throw py::error_already_set();
      if (truth == 0) yc.append(intensity[pi]);
    }
    py::int_ n(py::len(yc));
    if (n > py::int_(0)) {
      py::object mean = np.attr("mean")(yc);
      py::object sum = np.attr("sum");
      py::object square = np.attr("square");
      py::object segmentRss = sum(square(yc - mean));
      used = used + n;
      rss = rss + segmentRss;
    }
  }
  py::object penalty = k * np.attr("log2")(py::len(intensity));
  py::object log = np.attr("log");
  return penalty + used * log(rss / used);
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
  return makeClass("lumetraTrace",
                   py::make_tuple(py::reinterpret_borrow<py::object>(
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
  originals.remember(m, "np", {"mean", "sum", "square", "log2", "log"});

  m.def("inPeakList", &inPeakList, py::arg("x"), py::arg("PeakList"),
        "Whether x lies in one of the closed intervals [p[0], p[1]] of PeakList.");
  ownInPeakList = py::object(m.attr("inPeakList")).release().ptr();
  py::module_ self = m;
  m.def(
      "xic",
      [self](py::object partitions, py::object CH1mBGND1, py::object peakList,
             py::object /*halfWinLen*/) { return xic(self, partitions, CH1mBGND1, peakList); },
      py::arg("partitions"), py::arg("CH1mBGND1"), py::arg("peakList"), py::arg("halfWinLen"),
      "Information criterion of a step fit; frames inside an interval of peakList are left out.");
}
