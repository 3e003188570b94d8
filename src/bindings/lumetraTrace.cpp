// lumetra.lumetraTrace: the trace object, which holds one trace and every result computed
// from it as public attributes.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "all_frames.hpp"
#include "criterion.hpp"
#include "merge.hpp"
#include "module.hpp"
#include "nonstationarity_api.hpp"
#include "refine.hpp"
#include "series.hpp"
#include "step_fit.hpp"
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

// A score as numpy gives it: a numpy.float64.
py::object numpyFloat(double value) {
  static PyObject* float64 =
      py::object(py::module_::import("numpy").attr("float64")).release().ptr();
  PyObject* scalar = PyObject_CallFunction(float64, "d", value);
  if (scalar == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(scalar);
}

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
  lumetra::Residuals residuals;
  try {
    py::gil_scoped_release release;
    residuals = lumetra::partitionResiduals(values, *parts, lumetra::PeakIndex(*peaks));
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
  return numpyFloat(score);
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
      if (!lb::truthy(inPeak)) yc.append(intensity[pi]);
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
    if (lb::truthy(mergeAll)) {
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
  if (!lb::truthy(lumetraObj.attr("mergeAllTrace"))) {
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

// ---- Step fit -------------------------------------------------------------------------------

constexpr std::initializer_list<const char*> kFitStatistics = {
    "dataStatsVar", "dataDerivation", "streamNS", "th",
    "genPairs",     "chainFilters",   "thNS",     "integralRange",
    "poly1_1div3",  "genPartitions",  "dataStd"};

// What the step fit calls, as bound when the module was loaded. While all of it is unchanged
// a fit runs in one C++ call; a caller who replaces any of it gets the calls one by one.
struct FitDependencies {
  lb::Originals trace;  // names in this module
  lb::Originals stats;  // names in dataStatsCalac
  const lb::NonStationaryApi* native = nullptr;
} fitDependencies;

void rememberFitDependencies(const py::module_& m) {
  auto& d = fitDependencies;
  d.trace.remember(m, "dataStatsCalac", kFitStatistics);
  d.trace.remember(m, "copy", {"deepcopy"});
  d.trace.remember(m, "xic");
  py::object stats = m.attr("dataStatsCalac");
  d.stats.remember(stats, "np", {"var", "std", "diff", "argmax", "argmin", "mean"});
  d.stats.remember(stats, "Polynomial");
  d.stats.remember(stats, "ns", {"NonStationary"});
  d.native = lb::importNonStationaryApi();
}

bool nativeComponent(py::handle stats) {
  py::object cls = stats.attr("ns").attr("NonStationary");
  return lb::isNativeClass(fitDependencies.native, cls.ptr());
}

bool fitDependenciesUnchanged(const py::module_& m) {
  auto& d = fitDependencies;
  if (!d.trace.unchanged(m, "dataStatsCalac", kFitStatistics) ||
      !d.trace.unchanged(m, "copy", {"deepcopy"}) || !d.trace.unchanged(m, "xic") ||
      !ownInPeakListBound(m) ||
      !originals.unchanged(m, "np", {"mean", "sum", "square", "log2", "log"})) {
    return false;
  }
  py::object stats = m.attr("dataStatsCalac");
  return d.stats.unchanged(stats, "np", {"var", "std", "diff", "argmax", "argmin", "mean"}) &&
         d.stats.unchanged(stats, "Polynomial") &&
         d.stats.unchanged(stats, "ns", {"NonStationary"}) && nativeComponent(stats);
}

// The nonstationarity components of the traces fitted last, each with its trace attached:
// fits of one trace for many settings (a parameter search) then skip preparing the trace
// again. Used without the GIL, so that threads fitting different traces run side by side; the
// mutex guards the list, and a component, never changed once built, lives as long as a fit
// holds it.
class PreparedTraces {
 public:
  std::shared_ptr<const lumetra::NonStationary> componentFor(const std::vector<double>& samples) {
    {
      const std::lock_guard lock(mutex_);
      for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->samples.size() == samples.size() &&
            std::memcmp(it->samples.data(), samples.data(), samples.size() * sizeof(double)) == 0) {
          entries_.splice(entries_.begin(), entries_, it);
          return it->component;
        }
      }
    }
    auto component = std::make_shared<lumetra::NonStationary>();
    component->setData(samples);
    const std::lock_guard lock(mutex_);
    entries_.push_front({samples, component});
    if (entries_.size() > kCapacity) entries_.pop_back();
    return component;
  }

 private:
  static constexpr std::size_t kCapacity = 4;
  struct Entry {
    std::vector<double> samples;
    std::shared_ptr<const lumetra::NonStationary> component;
  };
  std::mutex mutex_;
  std::list<Entry> entries_;  // most recently used first
};

PreparedTraces preparedTraces;

// A float, or an int that a double holds exactly: compared as doubles they behave as in Python.
bool isRealNumber(py::handle value) {
  if (PyFloat_Check(value.ptr())) return true;
  if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) return false;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  return overflow == 0 && v >= -(1LL << 53) && v <= (1LL << 53);
}

py::object rejectedScore() { return py::int_(lumetra::kRejectedFit); }

// The score of stored partitions against the reference pairs (the saved ones if any), through
// this module's xic; a fit with no frame left to score is rejected rather than failing.
py::object scoreThroughXic(const py::module_& m, py::object self, py::object partitions,
                           py::object intensity, py::object pairs, py::object halfWinLen) {
  if (py::int_(py::len(partitions)) < py::object(self.attr("stateNum"))) return rejectedScore();
  py::object saved = self.attr("keepPairs");
  py::object reference = saved.is_none() ? pairs : saved;
  try {
    return m.attr("xic")(partitions, intensity, reference, halfWinLen);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ZeroDivisionError)) throw;
    return rejectedScore();
  }
}

// The fit as a sequence of calls of the module's statistics functions, each looked up when it
// is used.
py::object fitComposed(const py::module_& m, py::object self, py::object halfWinLen,
                       py::object rratio, py::object thrate, py::object filterWidth,
                       py::object keepPairs) {
  py::object stats = m.attr("dataStatsCalac");
  py::object windowsLen = halfWinLen * py::int_(2) + py::int_(1);
  py::object frames = self.attr("frames");
  py::object intensity = self.attr("CH1mBGND1");
  py::object y = stats.attr("dataStatsVar")(frames, intensity, windowsLen);
  self.attr("dataVar") = y;
  py::object dy =
      stats.attr("dataDerivation")(lb::positionalSlice(frames, halfWinLen, -halfWinLen), y, 2);
  py::object ns = stats.attr("streamNS")(intensity, windowsLen);
  self.attr("dataNS") = ns;
  py::object thy = stats.attr("th")(y, thrate);
  self.attr("thresholdVar") = thy;
  py::object pairs = stats.attr("genPairs")(y, thy);
  self.attr("pairs") = pairs;
  if (lb::truthy(keepPairs)) self.attr("keepPairs") = m.attr("copy").attr("deepcopy")(pairs);
  // Row 1 first, as Python evaluates `frames[1] - frames[0]`: its KeyError for a short trace.
  py::object second = frames[py::int_(1)];
  py::object step = second - frames[py::int_(0)];
  py::object newPairs = stats.attr("chainFilters")(pairs, halfWinLen, step, filterWidth);
  self.attr("newPairs") = newPairs;
  py::object thNS = stats.attr("thNS")(ns);
  self.attr("thresholdNS") = thNS;

  const Py_ssize_t n = py::len(newPairs);
  py::list pairs3, integralDy, boolRR(n), boolNS(n), rrList, frList;
  for (Py_ssize_t i = 0; i < n; ++i) {
    boolRR[i] = py::bool_(false);
    boolNS[i] = py::bool_(false);
  }
  self.attr("pairs3") = pairs3;
  self.attr("integralDy") = integralDy;
  self.attr("thresholdBoolRR") = boolRR;
  self.attr("thresholdBoolNS") = boolNS;
  self.attr("rr") = rrList;
  self.attr("fr") = frList;
  for (Py_ssize_t i = 0; i < n; ++i) {
    py::object pair = newPairs[py::int_(i)];
    py::object p0 = pair[py::int_(0)];
    py::object p1 = pair[py::int_(1)];
    py::list bounds;
    bounds.append(p0);
    bounds.append(p1);
    py::object idy = stats.attr("integralRange")(frames, bounds, dy, halfWinLen);
    integralDy.append(idy);
    py::object rows =
        lb::positionalSlice(frames, p0 + halfWinLen, p1 + halfWinLen).attr("to_numpy")();
    py::object result = stats.attr("poly1_1div3")(rows, idy);
    py::object fr = result[py::int_(0)];
    py::object rr = result[py::int_(1)];
    frList.append(fr);
    rrList.append(rr);
    if (rr.is_none() || !(rr > rratio)) continue;
    boolRR[i] = py::bool_(true);
    py::object range = py::module_::import("builtins").attr("range")(p0 + py::int_(1), p1);
    for (py::handle iins : range) {
      if (py::object(ns[iins]) > thNS) {
        boolNS[i] = py::bool_(true);
        py::list accepted;
        accepted.append(p0);
        accepted.append(p1);
        accepted.append(pair[py::int_(2)]);
        pairs3.append(accepted);
        break;
      }
    }
  }
  py::object partitions = stats.attr("genPartitions")(pairs3, halfWinLen, py::len(frames));
  self.attr("partitions") = partitions;
  self.attr("moments") = stats.attr("dataStd")(intensity, partitions);
  return scoreThroughXic(m, self, partitions, intensity, pairs, halfWinLen);
}

// Fits whose reference is a list of [lo, hi, ...] entries of plain numbers can be scored here.
std::optional<std::vector<lumetra::PeakBounds>> referenceBounds(py::handle reference) {
  return plainEntries(reference, readPeak);
}

void appendOptional(py::list& out, const std::optional<double>& value) {
  out.append(value ? py::object(py::float_(*value)) : py::object(py::none()));
}

// The whole fit in one C++ call, then every result stored as the step-by-step fit stores it.
// Nothing when the fit meets what only the step-by-step evaluation handles exactly.
std::optional<py::object> fitFast(const py::module_& m, py::object self, py::object halfWinLen,
                                  py::object rratio, py::object thrate, py::object filterWidth,
                                  bool keep) {
  if (!PyLong_Check(halfWinLen.ptr()) || PyBool_Check(halfWinLen.ptr()) || !isRealNumber(rratio) ||
      !isRealNumber(thrate) || !isRealNumber(filterWidth) || !fitDependenciesUnchanged(m)) {
    return std::nullopt;
  }
  py::object frames = self.attr("frames");
  py::object intensity = self.attr("CH1mBGND1");
  for (py::handle column : {frames, intensity}) {
    if (!lb::isSeries(column) || !lb::float64Input(column) || !lb::positionalItems(column)) {
      return std::nullopt;
    }
  }
  int overflow = 0;
  const long long h = PyLong_AsLongLongAndOverflow(halfWinLen.ptr(), &overflow);
  if (overflow != 0) return std::nullopt;
  const std::vector<double> frameValues = toDoubles(frames);
  const std::vector<double> samples = toDoubles(intensity);
  const lumetra::StepFitSettings settings{h, lb::toDouble(rratio), lb::toDouble(thrate),
                                          lb::toDouble(filterWidth)};
  lumetra::StepFit fit;
  try {
    // Only this call's own vectors and the prepared component are used here.
    py::gil_scoped_release release;
    fit = lumetra::fitSteps(frameValues, samples, lumetra::NaNRule::skip,
                            *preparedTraces.componentFor(samples), settings);
  } catch (const lumetra::StepFitUnsupported&) {
    return std::nullopt;
  }

  // The score first, so that a fit the criterion cannot take leaves nothing half stored.
  const int tooFew = PyObject_RichCompareBool(py::int_(fit.partitions.size()).ptr(),
                                              py::object(self.attr("stateNum")).ptr(), Py_LT);
  if (tooFew < 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  std::optional<double> score;
  if (tooFew == 0) {
    py::object saved = self.attr("keepPairs");
    std::optional<std::vector<lumetra::PeakBounds>> bounds;
    if (!keep && !saved.is_none()) {
      bounds = referenceBounds(saved);
      if (!bounds) return std::nullopt;
    }
    py::gil_scoped_release release;
    if (bounds) {
      score = lumetra::scoreStepFit(fit.partitions, samples, lumetra::PeakIndex(*bounds),
                                    bounds->size());
    } else {
      score = lumetra::scoreStepFit(fit.partitions, samples, lumetra::PeakIndex(fit.pairs),
                                    fit.pairs.size());
    }
    // A residual sum of 0 takes the logarithm of 0, which numpy warns about.
    if (score && std::isinf(*score) && *score < 0) return std::nullopt;
  }

  self.attr("dataVar") = lb::floatList(fit.dataVar);
  self.attr("dataNS") = lb::floatList(fit.dataNS);
  self.attr("thresholdVar") = py::float_(fit.thresholdVar);
  py::list pairs = lb::tripleList(fit.pairs);
  self.attr("pairs") = pairs;
  if (keep) self.attr("keepPairs") = lb::tripleList(fit.pairs);
  py::list newPairs;
  for (std::size_t k : fit.kept) newPairs.append(pairs[k]);
  self.attr("newPairs") = newPairs;
  self.attr("thresholdNS") = py::float_(fit.thresholdNS);
  py::list integralDy, boolRR, boolNS, rr, fr;
  for (const lumetra::CandidateTest& test : fit.candidates) {
    integralDy.append(lb::floatList(test.integral));
    boolRR.append(py::bool_(test.passedRatio));
    boolNS.append(py::bool_(test.passedNS));
    appendOptional(rr, test.ratio);
    appendOptional(fr, test.slope);
  }
  self.attr("pairs3") = lb::tripleList(fit.pairs3);
  self.attr("integralDy") = integralDy;
  self.attr("thresholdBoolRR") = boolRR;
  self.attr("thresholdBoolNS") = boolNS;
  self.attr("rr") = rr;
  self.attr("fr") = fr;
  self.attr("partitions") = lb::tripleList(fit.partitions);
  self.attr("moments") = lb::floatList(fit.moments);
  if (tooFew != 0 || !score) return rejectedScore();
  return numpyFloat(*score);
}

// An integer half window below 1 cuts the frame axis to nothing and, when negative, makes the
// variance stream longer than the trace (endless for a large one): refused before any step.
void requirePositiveHalfWindow(py::handle halfWinLen) {
  if (PyBool_Check(halfWinLen.ptr()) || PyFloat_Check(halfWinLen.ptr()) ||
      !PyIndex_Check(halfWinLen.ptr())) {
    return;  // other types fail where the steps use them
  }
  const int below = PyObject_RichCompareBool(halfWinLen.ptr(), py::int_(1).ptr(), Py_LT);
  if (below < 0) throw py::error_already_set();
  if (below != 0) {
    throw py::value_error("halfWinLen must be at least 1, got " + std::string(py::str(halfWinLen)));
  }
}

py::object fitTrajectory(const py::module_& m, py::object self, py::object halfWinLen,
                         py::object rratio, py::object thrate, py::object filterWidth,
                         py::object keepPairs) {
  requirePositiveHalfWindow(halfWinLen);
  // A truth test that fails is left to the call-by-call fit, which makes it where it belongs.
  const int keep = PyObject_IsTrue(keepPairs.ptr());
  if (keep < 0) {
    PyErr_Clear();
  } else if (auto score = fitFast(m, self, halfWinLen, rratio, thrate, filterWidth, keep != 0)) {
    return *score;
  }
  return fitComposed(m, self, halfWinLen, rratio, thrate, filterWidth, keepPairs);
}

// ---- Level refinement -----------------------------------------------------------------------

// Mean and standard deviation of each partition's intensities, as numpy gives them.
void partitionStatistics(const py::module_& m, py::handle partitions, py::handle intensity,
                         std::vector<double>& means, std::vector<double>& stds) {
  if (originals.unchanged(m, "np", {"mean", "std"}) && lb::isSeries(intensity) &&
      lb::float64Input(intensity) && lb::positionalItems(intensity)) {
    if (const auto parts = plainEntries(partitions, readPartition)) {
      const std::vector<double> samples = toDoubles(intensity);
      py::gil_scoped_release release;
      means = lumetra::segmentMeans(samples, *parts, lumetra::NaNRule::skip);
      stds = lumetra::segmentStd(samples, *parts, lumetra::NaNRule::skip);
      return;
    }
  }
  py::object np = m.attr("np");
  for (py::handle p : partitions) {
    auto partition = py::reinterpret_borrow<py::object>(p);
    py::object segment =
        lb::positionalSlice(intensity, partition[py::int_(0)], partition[py::int_(1)]);
    means.push_back(lb::toDouble(np.attr("mean")(segment)));
    stds.push_back(lb::toDouble(np.attr("std")(segment)));
  }
}

void mergeNeighbours(const py::module_& m, py::object self) {
  py::object partitions = self.attr("partitions");
  std::vector<double> means, stds;
  partitionStatistics(m, partitions, self.attr("CH1mBGND1"), means, stds);
  const std::vector<bool> flags = lumetra::mergeFlags(means, stds);
  // Backwards, so that removing an entry never moves one still to be visited; each run of
  // joined partitions hands its end to the partition before it.
  std::optional<py::object> runEnd;
  for (std::size_t k = flags.size(); k-- > 0;) {
    py::object partition = partitions[py::int_(k)];
    if (flags[k]) {
      if (!runEnd) runEnd = py::object(partition[py::int_(1)]);
      partitions.attr("pop")(k);
    } else if (runEnd) {
      partition[py::int_(1)] = *runEnd;
      runEnd.reset();
    }
  }
}

py::object finalPartitions(const py::module_& m, py::object self) {
  self.attr("mergeNeighbours")();
  py::list means;
  self.attr("means") = means;
  py::object intensity = self.attr("CH1mBGND1");
  for (py::handle p : py::object(self.attr("partitions"))) {
    auto partition = py::reinterpret_borrow<py::object>(p);
    means.append(m.attr("np").attr("mean")(
        lb::positionalSlice(intensity, partition[py::int_(0)], partition[py::int_(1)])));
  }
  return self.attr("partitions");
}

// ---- Parameter search -----------------------------------------------------------------------

constexpr const char* kSearchParameters[] = {"halfWinLen", "rratio", "thrate", "filterWidth"};

// The score of a step fit over every frame: BIC after merging neighbours on a copy of the
// partitions and splitting each transition stretch at its least-squares point.
py::object allFramesScore(py::object partitions, py::object intensity) {
  const auto parts = plainEntries(partitions, readPartition);
  if (!parts) throw py::type_error("partitions must be a list of [start, end, ...] integer lists");
  return numpyFloat(lumetra::allFramesBic(lb::toDoubles(intensity), *parts));
}

constexpr const char* kCriteria[] = {"xic", "bic"};

std::string checkedCriterion(py::handle criterion) {
  if (py::isinstance<py::str>(criterion)) {
    const auto name = criterion.cast<std::string>();
    for (const char* known : kCriteria) {
      if (name == known) return name;
    }
  }
  throw py::value_error("criterion must be 'xic' or 'bic', not " +
                        py::repr(criterion).cast<std::string>());
}

py::object fitness(py::object self, py::object params) {
  const std::string criterion = checkedCriterion(self.attr("criterion"));
  py::dict par = params.attr("valuesdict")();
  py::object round = py::module_::import("builtins").attr("round");
  py::object score = self.attr("fitTrajectory")(round(par["halfWinLen"]), par["rratio"],
                                                par["thrate"], round(par["filterWidth"]));
  if (criterion == "xic" || score.equal(rejectedScore())) return score;
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
  params.attr("add_many")(py::make_tuple("halfWinLen", 9, true),
                          py::make_tuple("rratio", 0.18, true), py::make_tuple("thrate", 0.2, true),
                          py::make_tuple("filterWidth", 9, true));
  const py::object bounds[] = {sHalfWin, sRR, sThR, sFilterW};
  for (std::size_t i = 0; i < 4; ++i) {
    params[kSearchParameters[i]].attr("set")("min"_a = bounds[i][py::int_(0)],
                                             "max"_a = bounds[i][py::int_(1)],
                                             "brute_step"_a = bounds[i][py::int_(2)]);
  }
  py::object minimizer = m.attr("Minimizer")(self.attr("_fitness"), params, "nan_policy"_a = "omit",
                                             "max_nfev"_a = 2000);
  self.attr("optRes") = minimizer.attr("minimize")("method"_a = "differential_evolution");
}

// Change points inside the transition stretches of the last fit (the gaps between its partitions
// as they are now, the frames of every candidate pair, and the first and last window of the
// trace), stored as changePoints and idealPath.
void refineTransitions(py::object self) {
  py::object intensity = self.attr("CH1mBGND1");
  const std::vector<double> samples = toDoubles(intensity);
  const auto parts = plainEntries(self.attr("partitions"), readPartition);
  if (!parts) throw py::type_error("partitions must be a list of [start, end, ...] integer lists");
  // The variance stream is 2 * halfWinLen shorter than the trace.
  const auto half = static_cast<std::ptrdiff_t>(samples.size() - py::len(self.attr("dataVar"))) / 2;
  const auto frames = static_cast<std::ptrdiff_t>(samples.size());
  // Within one window of either end the variance stream sees a transition only in part.
  const std::ptrdiff_t window = std::min(2 * half + 1, frames);
  std::vector<lumetra::Stretch> stretches = {{0, window}, {frames - window, frames}};
  for (const lumetra::Partition& pair : lb::toPartitions(self.attr("pairs"))) {
    const std::ptrdiff_t start = std::clamp<std::ptrdiff_t>(pair.start + half, 0, frames);
    const std::ptrdiff_t end = std::clamp<std::ptrdiff_t>(pair.end + half, start, frames);
    stretches.push_back({start, end});
  }
  const lumetra::RefinedPath refined = lumetra::refineTransitions(samples, *parts, stretches);
  py::list changePoints;
  for (std::ptrdiff_t frame : refined.changePoints) changePoints.append(py::int_(frame));
  self.attr("changePoints") = changePoints;
  self.attr("idealPath") = py::array_t<double>(static_cast<py::ssize_t>(refined.idealPath.size()),
                                               refined.idealPath.data());
}

py::object makeTraceClass(const py::module_& m) {
  py::dict ns;
  ns["__doc__"] = "One single-molecule FRET intensity trace and every result computed from it.";
  ns["stateNum"] = py::int_(1);
  ns["keepPairs"] = py::none();
  ns["criterion"] = py::str("xic");
  ns["dwellTime"] = py::dict();
  ns["trimTails"] = py::list();
  ns["loadData"] = asMethod(py::cpp_function(
      [m](py::object self, py::object filename) { loadData(m, self, filename); },
      py::name("loadData"), py::arg("self"), py::arg("filename"),
      "Load a tab-separated trace file with the columns 'Frame/10' and 'CH1-BGND1'."));
  ns["fitTrajectory"] = asMethod(py::cpp_function(
      [m](py::object self, py::object halfWinLen, py::object rratio, py::object thrate,
          py::object filterWidth, py::object keepPairs) {
        return fitTrajectory(m, self, halfWinLen, rratio, thrate, filterWidth, keepPairs);
      },
      py::name("fitTrajectory"), py::arg("self"), py::arg("halfWinLen"), py::arg("rratio"),
      py::arg("thrate"), py::arg("filterWidth"), py::arg("keepPairs") = false,
      "Fit a multi-level step trajectory for one parameter setting and return its score "
      "(smaller is better; 9999999999 for a rejected fit)."));
  ns["_fitness"] =
      asMethod(py::cpp_function(&fitness, py::name("_fitness"), py::arg("self"), py::arg("params"),
                                "The fit score for an lmfit parameter set."));
  ns["optimizeFitness"] = asMethod(py::cpp_function(
      [m](py::object self, py::object sHalfWin, py::object sRR, py::object sThR,
          py::object sFilterW, py::object criterion) {
        optimizeFitness(m, self, sHalfWin, sRR, sThR, sFilterW, criterion);
      },
      py::name("optimizeFitness"), py::arg("self"), py::arg("sHalfWin") = py::make_tuple(5, 21, 1),
      py::arg("sRR") = py::make_tuple(-1, 3.1, 0.01), py::arg("sThR") = py::make_tuple(0, 1.1, 0.1),
      py::arg("sFilterW") = py::make_tuple(1, 21, 1), py::arg("criterion") = "xic",
      "Search the four fit parameters by differential evolution; the result goes to optRes.\n\n"
      "criterion 'xic' scores each setting with xic; 'bic' with the BIC of the merged fit over "
      "every frame, each transition stretch split at its least-squares point. The choice is "
      "kept as the object's criterion, which _fitness follows."));
  ns["refineTransitions"] = asMethod(py::cpp_function(
      &refineTransitions, py::name("refineTransitions"), py::arg("self"),
      "After finalPartitions: place one or two change points in transition stretches by "
      "BIC; stores changePoints (frame indices) and idealPath (the level of every frame)."));
  ns["mergeNeighbours"] = asMethod(py::cpp_function(
      [m](py::object self) { mergeNeighbours(m, self); }, py::name("mergeNeighbours"),
      py::arg("self"), "Join neighbouring partitions whose levels cannot be told apart."));
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

  m.def("bic", &allFramesScore, py::arg("partitions"), py::arg("CH1mBGND1"),
        "BIC of a step fit over every frame: neighbours merged on a copy, each transition "
        "stretch split at its least-squares point.");

  rememberFitDependencies(m);

  m.def("transitionDensityPlot", &transitionDensityPlot, py::arg("lumetraObj"),
        py::arg("binSize") = 0.1, py::arg("figSize") = 600, py::arg("i") = 0, py::arg("fret0") = 0,
        py::arg("fret1") = 1, "Show the transition density plot of a trace object's statistics.");
}
