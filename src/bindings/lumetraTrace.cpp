// lumetra.lumetraTrace: the trace object, which holds one trace and every result computed
// from it as public attributes.
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "criterion.hpp"
#include "module.hpp"
#include "series.hpp"
#include "transitions.hpp"

namespace py = pybind11;
namespace lb = lumetra::bindings;
using namespace py::literals;
using lumetra::bindings::asMethod;
using lumetra::bindings::makeClass;
using lumetra::bindings::toDoubles;

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

// The ideal values of one column as doubles. Numeric columns go through numpy; any other
// column cell by cell, where a cell that is not a real number (text, a date) raises TypeError.
std::vector<double> levelValues(py::handle column) {
  const std::string kind = py::str(column.attr("dtype").attr("kind"));
  if (kind == "b" || kind == "i" || kind == "u" || kind == "f") return toDoubles(column);
  return toDoubles(column.attr("tolist")());
}

// Python's truth value of an object.
bool truthy(py::handle obj) {
  const int value = PyObject_IsTrue(obj.ptr());
  if (value < 0) throw py::error_already_set();
  return value != 0;
}

// A real number as a double; TypeError for anything else (text included, unlike float()).
double realNumber(py::handle obj) {
  const double value = PyFloat_AsDouble(obj.ptr());
  if (value == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return value;
}

// Transitions and dwell times of every ideal column of a spreadsheet of idealised traces.
void transitionStatistics(const py::module_& m, py::object self, py::object xlsx, py::object tgtCol,
                          py::object mergeAll, py::object trimTailsThreshold) {
  py::object data = m.attr("pd").attr("read_excel")(xlsx, "header"_a = 0);
  py::object ts = py::none();
  self.attr("mergeAllTrace") = mergeAll;
  py::list idealFRETs;
  py::object theCol = tgtCol.attr("lower")();
  const py::str time("time");
  for (py::handle colname : data.attr("columns")) {
    py::object lowered = colname.attr("lower")();
    if (lowered.contains(time)) ts = data[colname];
    if (lowered.contains(theCol)) idealFRETs.append(data[colname]);
  }
  py::list trans0;
  py::list trans1;
  self.attr("trans0") = trans0;
  self.attr("trans1") = trans1;
  static_cast<void>(py::len(ts));  // a sheet without a time column fails here, with TypeError
  py::dict dwellTime;
  self.attr("dwellTime") = dwellTime;

  std::vector<std::vector<double>> levels;
  levels.reserve(idealFRETs.size());
  for (py::handle idl : idealFRETs) levels.push_back(levelValues(idl));
  const double minidl = lumetra::lowestLevel(levels);
  const double threshold = lumetra::tailThreshold(realNumber(trimTailsThreshold), minidl);

  py::object tsAt = ts.attr("__getitem__");
  for (std::size_t k = 0; k < levels.size(); ++k) {
    // Levels and times are the cells as the sheet's columns hand them out (numpy scalars);
    // the core only says which frames to take.
    py::object idlAt = idealFRETs[k].attr("__getitem__");
    py::list trans0list;
    py::list trans1list;
    py::object level = idlAt(0);
    py::object dwellTime0 = py::int_(0);
    const lumetra::TraceTransitions scan = lumetra::scanTrace(levels[k], threshold);
    self.attr("trimTails").attr("append")(py::int_(scan.tailStart));
    for (std::size_t idx : scan.frames) {
      py::object entered = idlAt(idx);
      trans1list.append(entered);
      trans0list.append(level);
      if (!dwellTime.contains(level)) dwellTime[level] = py::list();
      py::object at = tsAt(idx);
      dwellTime[level].attr("append")(at - dwellTime0);
      dwellTime0 = at;
      level = entered;
    }
    if (truthy(mergeAll)) {
      trans0.attr("extend")(trans0list);
      trans1.attr("extend")(trans1list);
    } else {
      trans0.append(trans0list);
      trans1.append(trans1list);
    }
  }
}

py::object getDwellTimeDict(const py::module_& m, py::object self) {
  py::object items = self.attr("dwellTime").attr("items")();
  return m.attr("collections")
      .attr("OrderedDict")(py::module_::import("builtins").attr("sorted")(items));
}

// The two-dimensional histogram of the levels left and entered by the transitions that
// transitionStatistics recorded on `lumetraObj`, shown as a square figure.
void transitionDensityPlot(py::object lumetraObj, py::object binSize, py::object figSize,
                           py::object i, py::object fret0, py::object fret1) {
  py::module_ go = py::module_::import("plotly.graph_objects");
  py::object x = lumetraObj.attr("trans0");
  py::object y = lumetraObj.attr("trans1");
  if (!truthy(lumetraObj.attr("mergeAllTrace"))) {
    x = x[i];
    y = y[i];
  }
  // Without a proper range plotly places the bins itself, with the given width.
  const bool ranged = fret0 < fret1;
  auto bins = [&] {
    return ranged ? py::dict("start"_a = fret0, "end"_a = fret1, "size"_a = binSize)
                  : py::dict("size"_a = binSize);
  };
  py::object histogram =
      go.attr("Histogram2d")("x"_a = x, "y"_a = y, "autobinx"_a = false, "xbins"_a = bins(),
                             "autobiny"_a = false, "ybins"_a = bins());
  py::object fig = go.attr("Figure")(histogram);
  fig.attr("update_layout")("autosize"_a = false, "width"_a = figSize, "height"_a = figSize);
  fig.attr("show")();
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

  m.def("transitionDensityPlot", &transitionDensityPlot, py::arg("lumetraObj"),
        py::arg("binSize") = 0.1, py::arg("figSize") = 600, py::arg("i") = 0, py::arg("fret0") = 0,
        py::arg("fret1") = 1, "Show the transition density plot of a trace object's statistics.");
}
