// lumetra.dataStatsCalac: stateless statistics of traces and windowed series, and the
// package's log configuration.
#include <pybind11/numpy.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "module.hpp"
#include "nonstationarity.hpp"
#include "nonstationarity_api.hpp"
#include "pairs.hpp"
#include "segment_stats.hpp"
#include "series.hpp"

namespace py = pybind11;
using namespace py::literals;
namespace lb = lumetra::bindings;

namespace {

constexpr std::array<std::string_view, 4> kNsAlgos = {"NSLocaltoGlobal", "NSLefttoRight",
                                                      "NSdichotomy", "NSCircleLefttoRight"};

const lb::NonStationaryApi* nativeApi = nullptr;

// np, moment and Polynomial as bound at load; see lb::Originals.
lb::Originals originals;

// Bounds that the core's index arithmetic takes without overflow.
constexpr long long kSmallInteger = 1LL << 60;

// The native component's C++ state when `nsm` is one of its own instances with its own
// nsFuncRange; otherwise every window has to go through Python.
const lumetra::NonStationary* nativeState(py::handle nsm) {
  if (!lb::isNativeClass(nativeApi, reinterpret_cast<PyObject*>(Py_TYPE(nsm.ptr())))) {
    return nullptr;
  }
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
  // Any window longer than the trace has no position, however long it is.
  const Py_ssize_t width = lb::clippedIndex(windowsLen);
  Py_ssize_t n = 0;
  if (__builtin_sub_overflow(xSize, width, &n) || n == PY_SSIZE_T_MAX) {
    lb::failOverflow("a window length of " + std::to_string(width) +
                     " gives more window positions than a list can hold");
  }
  n = std::max<Py_ssize_t>(n + 1, 0);

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

// seq[start:stop], with Python's slice rules (and a Series' positional slicing).
py::object item(py::handle seq, Py_ssize_t i) {
  return py::reinterpret_borrow<py::object>(seq)[py::int_(i)];
}

lumetra::NaNRule nanRule(const lb::Samples& samples) {
  return samples.skipNaN ? lumetra::NaNRule::skip : lumetra::NaNRule::propagate;
}

py::list dataStatsVar(const py::module_& m, py::object frames, py::object data,
                      py::object windowsLen) {
  const Py_ssize_t frameCount = py::len(frames);
  // A window longer than the trace has no position, however long it is.
  const int longer = PyObject_RichCompareBool(windowsLen.ptr(), py::int_(frameCount).ptr(), Py_GT);
  if (longer < 0) throw py::error_already_set();
  if (longer != 0) return py::list();
  const Py_ssize_t width = lb::toIndex(windowsLen);
  Py_ssize_t lastStart = 0;
  if (__builtin_sub_overflow(frameCount, width, &lastStart) || lastStart == PY_SSIZE_T_MAX) {
    lb::failOverflow("a window length of " + std::to_string(width) +
                     " gives more window positions than a list can hold");
  }
  // Windows that run past the end of data, or empty ones, go the slow way for numpy's warnings.
  if (originals.unchanged(m, "np", {"var"}) && width >= 1 && lb::float64Input(data) &&
      static_cast<Py_ssize_t>(py::len(data)) >= frameCount) {
    const lb::Samples samples = lb::toSamples(data);
    std::vector<double> out;
    {
      // Only this call's own vectors are touched.
      py::gil_scoped_release release;
      out = lumetra::movingVariance(samples.values, static_cast<std::size_t>(frameCount), width,
                                    nanRule(samples));
    }
    return lb::floatList(out);
  }
  py::object var = m.attr("np").attr("var");
  py::list out;
  for (Py_ssize_t i = 0; i <= lastStart; ++i) {
    out.append(var(lb::positionalSlice(data, py::int_(i), py::int_(i + width))));
  }
  return out;
}

// The order of a moment when it is an integer that fits (scipy accepts integral floats too).
std::optional<long long> integralOrder(py::handle order) {
  if (PyFloat_Check(order.ptr())) {
    const double value = PyFloat_AsDouble(order.ptr());
    if (!std::isfinite(value) || value != std::trunc(value) || std::abs(value) > 0x1p62) {
      return std::nullopt;
    }
    return static_cast<long long>(value);
  }
  if (!PyIndex_Check(order.ptr())) return std::nullopt;
  const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(order.ptr()));
  if (!index) throw py::error_already_set();
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (overflow != 0 || std::abs(static_cast<double>(value)) > 0x1p62) return std::nullopt;
  return value;
}

void warnSmallSample() {
  auto category = py::reinterpret_borrow<py::object>(PyExc_RuntimeWarning);
  try {
    category = py::module_::import("scipy.stats._axis_nan_policy").attr("SmallSampleWarning");
  } catch (py::error_already_set&) {
  }
  lb::warn(category,
           "One or more sample arguments is too small; all returned values will be NaN. See "
           "documentation for sample size requirements.");
}

py::list dataMoment(const py::module_& m, py::object data, py::object partitions, py::object N) {
  const std::optional<long long> order = integralOrder(N);
  if (order && originals.unchanged(m, "moment") && lb::float64Input(data)) {
    const std::vector<double> values = lb::toDoubles(data);
    const std::vector<lumetra::Partition> parts = lb::toPartitions(partitions);
    const std::vector<double> out = lumetra::segmentMoments(values, parts, *order);
    // scipy's warnings, segment by segment.
    for (const lumetra::Partition& p : parts) {
      const lumetra::SliceBounds b = lumetra::sliceBounds(p.start, p.end, values.size());
      const auto segment = std::span<const double>(values).subspan(b.begin, b.end - b.begin);
      if (segment.empty()) {
        warnSmallSample();
      } else if (*order != 0 && *order != 1 && lumetra::momentLosesPrecision(segment)) {
        lb::warn(PyExc_RuntimeWarning,
                 "Precision loss occurred in moment calculation due to catastrophic "
                 "cancellation. This occurs when the data are nearly identical. Results may be "
                 "unreliable.");
      }
    }
    return lb::floatList(out);
  }
  py::object moment = m.attr("moment");
  py::list out;
  for (py::handle p : partitions)
    out.append(moment(lb::positionalSlice(data, item(p, 0), item(p, 1)), N));
  return out;
}

py::list dataStd(const py::module_& m, py::object data, py::object partitions) {
  if (originals.unchanged(m, "np", {"std"}) && lb::float64Input(data)) {
    const lb::Samples samples = lb::toSamples(data);
    const std::vector<lumetra::Partition> parts = lb::toPartitions(partitions);
    const std::vector<double> out = lumetra::segmentStd(samples.values, parts, nanRule(samples));
    if (!samples.skipNaN) {
      for (const lumetra::Partition& p : parts) {
        const lumetra::SliceBounds b = lumetra::sliceBounds(p.start, p.end, samples.values.size());
        if (b.begin == b.end) lb::warn(PyExc_RuntimeWarning, "Degrees of freedom <= 0 for slice");
      }
    }
    return lb::floatList(out);
  }
  py::object npStd = m.attr("np").attr("std");
  py::list out;
  for (py::handle p : partitions)
    out.append(npStd(lb::positionalSlice(data, item(p, 0), item(p, 1))));
  return out;
}

py::object dataDerivation(const py::module_& m, py::object frames, py::object data, py::object n) {
  py::int_ one(1);
  if (lb::assertionsEnabled()) {
    const int atLeastOne = PyObject_RichCompareBool(n.ptr(), one.ptr(), Py_GE);
    if (atLeastOne < 0) throw py::error_already_set();
    if (atLeastOne == 0) lb::failAssertion();
  }
  if (originals.unchanged(m, "np", {"diff"}) && PyIndex_Check(n.ptr()) &&
      lb::float64Input(frames) && lb::float64Input(data)) {
    const lumetra::DerivativeTerms terms =
        lumetra::derivativeTerms(lb::toDoubles(frames), lb::toDoubles(data), lb::toIndex(n));
    std::vector<double> out;
    try {
      out = lumetra::divideBroadcast(terms.differences, terms.steps);
    } catch (const std::invalid_argument& e) {
      throw py::value_error(e.what());
    }
    const auto& a = terms.differences;
    const auto& b = terms.steps;
    lb::FloatingErrors errors;
    for (std::size_t k = 0; k < out.size(); ++k) {
      errors.noteDivision(a[a.size() == 1 ? 0 : k], b[b.size() == 1 ? 0 : k]);
    }
    errors.report("divide");
    return py::array_t<double>(static_cast<py::ssize_t>(out.size()), out.data());
  }
  py::object np = m.attr("np");
  py::object y = np.attr("diff")(data, n);
  py::object steps = np.attr("diff")(frames);
  if (n > one) {
    PyObject* end = PyNumber_Negative((n - one).ptr());
    if (end == nullptr) throw py::error_already_set();
    steps = lb::positionalSlice(steps, py::none(), py::reinterpret_steal<py::object>(end));
  }
  return y / steps;
}

py::list genPairs(py::object data, py::object th) {
  const std::vector<double> values = lb::toDoubles(data);
  // With fewer than two samples nothing is compared with the threshold.
  const double threshold = values.size() < 2 ? 0.0 : lb::toDouble(th);
  return lb::tripleList(lumetra::genPairs(values, threshold));
}

// An integer small enough that sums of a few of them cannot overflow; nothing otherwise (a
// float, a huge integer), for the formula to compute exactly.
std::optional<std::ptrdiff_t> smallInteger(py::handle value) {
  if (PyFloat_Check(value.ptr()) || !PyIndex_Check(value.ptr())) return std::nullopt;
  const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) throw py::error_already_set();
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (overflow != 0 || v > kSmallInteger || v < -kSmallInteger) return std::nullopt;
  return static_cast<std::ptrdiff_t>(v);
}

py::list newTriple(py::object start, py::object end, py::object seq) {
  py::list triple;
  triple.append(std::move(start));
  triple.append(std::move(end));
  triple.append(std::move(seq));
  return triple;
}

// genPartitions on Python numbers, for bounds the core does not take.
py::list genPartitionsFormula(py::object pairs, py::object halfWinLen, py::object dataLen) {
  py::list partitions;
  const Py_ssize_t count = py::len(pairs);
  py::object windowsLen = halfWinLen * py::int_(2) + py::int_(1);
  Py_ssize_t idx = 0;
  partitions.append(newTriple(py::int_(0), item(item(pairs, 0), 0) + halfWinLen, py::int_(idx++)));
  for (Py_ssize_t i = 0; i + 1 < count; ++i) {
    py::object start = item(item(pairs, i), 1) + halfWinLen;
    partitions.append(newTriple(start, item(item(pairs, i + 1), 0) + halfWinLen, py::int_(idx++)));
  }
  py::object last = item(pairs, count - 1);
  py::object lastEnd = item(last, 1);
  if (lastEnd < dataLen - windowsLen) {
    partitions.append(newTriple(lastEnd + halfWinLen, dataLen, py::int_(idx)));
  } else {
    item(partitions, py::len(partitions) - 1)[py::int_(1)] = dataLen;
  }
  return partitions;
}

py::list genPartitions(py::object pairs, py::object halfWinLen, py::object dataLen) {
  if (py::len(pairs) < 1) return py::list();
  std::vector<lumetra::Pair> converted;
  bool plain = true;
  for (py::handle p : pairs) {
    const auto start = smallInteger(item(p, 0));
    const auto end = smallInteger(item(p, 1));
    plain = plain && start && end;
    if (plain) converted.push_back({*start, *end, 0});
  }
  const auto h = smallInteger(halfWinLen);
  const auto length = smallInteger(dataLen);
  if (!plain || !h || !length) return genPartitionsFormula(pairs, halfWinLen, dataLen);
  return lb::tripleList(lumetra::genPartitions(converted, *h, *length));
}

// integralRange through the core, or nothing when the arguments are not plain numbers and
// positions, or a position falls outside x or y: the Python formula then decides.
std::optional<py::list> integralRangeFast(py::object x, py::object rangeList, py::object y,
                                          py::object halfWinLen) {
  if (!lb::float64Input(x) || !lb::float64Input(y) || !lb::positionalItems(y)) return std::nullopt;
  py::object first = item(rangeList, 0);
  py::object second = item(rangeList, 1);
  if (!PyIndex_Check(first.ptr()) || !PyIndex_Check(second.ptr()) ||
      !PyIndex_Check(halfWinLen.ptr())) {
    return std::nullopt;
  }
  try {
    // Read in place: a fit calls this once per candidate, on the whole frame axis.
    const lb::DoubleView xs(x);
    const lb::DoubleView ys(y);
    // Clipped bounds that miss x or y go to the formula, which fails at once; a range within
    // them that no list can hold fails here with MemoryError rather than filling the memory.
    return lb::floatList(lumetra::integralRange(xs.values(), lb::clippedIndex(first),
                                                lb::clippedIndex(second), ys.values(),
                                                lb::clippedIndex(halfWinLen)));
  } catch (const std::bad_alloc&) {
    PyErr_Format(PyExc_MemoryError, "a running integral over the positions %S to %S", first.ptr(),
                 second.ptr());
    throw py::error_already_set();
  } catch (const std::out_of_range&) {
    return std::nullopt;  // negative positions wrap for arrays and lists; errors as Python has them
  } catch (py::error_already_set&) {
    return std::nullopt;
  }
}

py::list integralRange(const py::module_& m, py::object x, py::object rangeList, py::object y,
                       py::object halfWinLen) {
  if (originals.unchanged(m, "np", {"diff"})) {
    if (auto fast = integralRangeFast(x, rangeList, y, halfWinLen)) return *fast;
  }
  py::object dx = m.attr("np").attr("diff")(x);
  py::list intList;
  py::object integral = py::int_(0);
  py::object i0 = item(rangeList, 0);
  py::object i1 = item(rangeList, 1);
  py::int_ leny(py::len(y));
  py::object range = py::module_::import("builtins").attr("range")(i0, i1);
  for (py::handle position : range) {
    py::object i = py::reinterpret_borrow<py::object>(position);
    if (i >= leny) i = leny - py::int_(1);
    py::object step = dx[i + halfWinLen];  // looked up before y[i], as Python does
    integral = integral + step * py::reinterpret_borrow<py::object>(y)[i];
    intList.append(integral);
  }
  return intList;
}

py::list chainFilters(py::object pairs, py::object halfWin, py::object /*dx*/, py::object th) {
  const int derived = PyObject_RichCompareBool(th.ptr(), py::int_(0).ptr(), Py_EQ);
  if (derived < 0) throw py::error_already_set();
  const double halfWinValue = derived ? lb::toDouble(halfWin) : 0.0;
  std::vector<py::object> items;
  std::vector<double> widths;
  for (py::handle p : pairs) {
    py::object end = item(p, 1);
    py::object start = item(p, 0);
    widths.push_back(lb::toDouble(end - start));
    items.push_back(py::reinterpret_borrow<py::object>(p));
  }
  const double limit = derived || items.empty() ? 0.0 : lb::toDouble(th);
  py::list out;
  for (std::size_t i : lumetra::widePairPositions(widths, halfWinValue, limit))
    out.append(items[i]);
  return out;
}

[[noreturn]] void raiseWithoutSlope() {
  lb::warn(py::module_::import("numpy.exceptions").attr("RankWarning"),
           "The fit may be poorly conditioned");
  throw py::index_error("index 1 is out of bounds for axis 0 with size 1");
}

// poly1_1div3 through the core, or nothing when x or y are not plain positional numbers.
std::optional<py::tuple> poly1_1div3Fast(py::object x, py::object y) {
  if (!lb::float64Input(x) || !lb::float64Input(y) || !lb::positionalItems(x) ||
      !lb::positionalItems(y)) {
    return std::nullopt;
  }
  std::vector<double> xs;
  std::vector<double> ys;
  try {
    xs = lb::toDoubles(x);
    ys = lb::toDoubles(y);
  } catch (py::error_already_set&) {
    return std::nullopt;
  }
  const auto rule = lb::isSeries(y) ? lumetra::NaNRule::skip : lumetra::NaNRule::propagate;
  std::optional<lumetra::SlopeRatio> result;
  try {
    result = lumetra::middleThirdSlopeRatio(xs, ys, rule);
  } catch (const lumetra::FitLengthError& e) {
    throw py::type_error(e.what());
  } catch (const lumetra::FitNotSolvable& e) {
    PyErr_SetString(py::module_::import("numpy.linalg").attr("LinAlgError").ptr(), e.what());
    throw py::error_already_set();
  } catch (const lumetra::FitWithoutSlope&) {
    raiseWithoutSlope();
  } catch (const lumetra::AllNaNHalf& e) {
    throw py::value_error(e.what());
  }
  if (!result) return py::make_tuple(py::none(), py::none());
  if (result->rankDeficient) {
    lb::warn(py::module_::import("numpy.exceptions").attr("RankWarning"),
             "The fit may be poorly conditioned");
  }
  lb::FloatingErrors chord;
  chord.noteDivision(result->chordRise, result->chordRun);
  chord.report("scalar divide");
  lb::FloatingErrors ratio;
  ratio.noteDivision(result->slope, result->chordSlope);
  ratio.report("scalar divide");
  return py::make_tuple(result->slope, result->ratio);
}

py::tuple poly1_1div3(const py::module_& m, py::object x, py::object y) {
  const Py_ssize_t length = py::len(x);
  const Py_ssize_t span = length / 3;
  const Py_ssize_t halfspan = length / 2;
  if (span < 2) return py::make_tuple(py::none(), py::none());
  if (originals.unchanged(m, "Polynomial") && originals.unchanged(m, "np", {"argmax", "argmin"})) {
    if (auto fast = poly1_1div3Fast(x, y)) return *fast;
  }
  py::object np = m.attr("np");
  py::object thex = lb::positionalSlice(x, py::int_(span), py::int_(-span));
  py::object they = lb::positionalSlice(y, py::int_(span), py::int_(-span));
  py::object fitted = m.attr("Polynomial").attr("fit")(thex, they, "deg"_a = 1).attr("convert")();
  py::object slope = fitted.attr("coef")[py::int_(1)];
  py::object i0 = np.attr("argmax")(lb::positionalSlice(y, py::none(), py::int_(halfspan)));
  py::object i1 = py::int_(halfspan) +
                  np.attr("argmin")(lb::positionalSlice(y, py::int_(halfspan), py::none()));
  // Items are looked up in Python's order; the divisions follow numpy's floating-point rules
  // whatever the element types are.
  py::object yEnd = y[i1];
  py::object yStart = y[i0];
  const double rise = lb::toDouble(yEnd - yStart);
  py::object xEnd = x[i1];
  py::object xStart = x[i0];
  const double run = lb::toDouble(xEnd - xStart);
  lb::FloatingErrors chord;
  chord.noteDivision(rise, run);
  chord.report("scalar divide");
  const double chordSlope = rise / run;
  const double slopeValue = lb::toDouble(slope);
  lb::FloatingErrors ratio;
  ratio.noteDivision(slopeValue, chordSlope);
  ratio.report("scalar divide");
  return py::make_tuple(slope, slopeValue / chordSlope);
}

// numpy.mean of a series through the core, or through a replaced np.
py::object meanOf(const py::module_& m, py::object values) {
  if (originals.unchanged(m, "np", {"mean"})) return py::float_(lb::npMean(lb::toSamples(values)));
  return m.attr("np").attr("mean")(values);
}

py::object th(const py::module_& m, py::object y, py::object rate) {
  if (originals.unchanged(m, "np", {"mean"}) && PyFloat_Check(rate.ptr())) {
    const double meanY = lb::npMean(lb::toSamples(y));
    return py::float_(meanY + PyFloat_AS_DOUBLE(rate.ptr()) * std::abs(meanY));
  }
  py::object absolute = py::module_::import("builtins").attr("abs");
  py::object left = meanOf(m, y);
  return left + rate * absolute(meanOf(m, y));
}

py::object thNS(const py::module_& m, py::object ns) {
  py::object meanNS = meanOf(m, ns);
  if (meanNS > py::int_(0)) return py::int_(3) * meanNS;
  py::module_ builtins = py::module_::import("builtins");
  return py::int_(2) * builtins.attr("abs")(builtins.attr("min")(ns));
}

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
  nativeApi = lb::importNonStationaryApi();
  configureLogging(m);

  py::module_ self = m;
  originals.remember(m, "np", {"var", "std", "diff", "argmax", "argmin", "mean"});
  originals.remember(m, "moment");
  originals.remember(m, "Polynomial");

  m.def(
      "streamNS",
      [self](py::object stream, py::object windowsLen, py::object nsAlgo) {
        return streamNS(self, stream, windowsLen, nsAlgo);
      },
      py::arg("stream"), py::arg("windowsLen"), py::arg("nsAlgo") = "NSLocaltoGlobal",
      "The nonstationarity stream: one value of the component per window position.");
  m.def(
      "dataStatsVar",
      [self](py::object frames, py::object data, py::object windowsLen) {
        return dataStatsVar(self, frames, data, windowsLen);
      },
      py::arg("frames"), py::arg("data"), py::arg("windowsLen"),
      "Population variance of every window data[i:i + windowsLen], i up to len(frames) - "
      "windowsLen.");
  m.def(
      "dataMoment",
      [self](py::object data, py::object partitions, py::object N) {
        return dataMoment(self, data, partitions, N);
      },
      py::arg("data"), py::arg("partitions"), py::arg("N") = 2,
      "The N-th central moment (scipy.stats.moment) of each partition's samples.");
  m.def(
      "dataStd",
      [self](py::object data, py::object partitions) { return dataStd(self, data, partitions); },
      py::arg("data"), py::arg("partitions"),
      "Population standard deviation of each partition's samples.");
  m.def(
      "dataDerivation",
      [self](py::object frames, py::object data, py::object n) {
        return dataDerivation(self, frames, data, n);
      },
      py::arg("frames"), py::arg("data"), py::arg("n") = 1,
      "The n-th difference of data over the single frame step at each position.");
  m.def(
      "th", [self](py::object y, py::object rate) { return th(self, y, rate); }, py::arg("y"),
      py::arg("rate") = 1.1,
      "Threshold of a series: its mean raised by `rate` times its magnitude.");
  m.def(
      "thNS", [self](py::object ns) { return thNS(self, ns); }, py::arg("ns"),
      "Threshold of a nonstationarity stream.");
  m.def("genPairs", &genPairs, py::arg("data"), py::arg("th"),
        "Pairs [start, end, number] bracketing the runs of data above th.");
  m.def("genPartitions", &genPartitions, py::arg("pairs"), py::arg("halfWinLen"),
        py::arg("dataLen"), "Partitions [start, end, number] of the frames between the pairs.");
  m.def(
      "integralRange",
      [self](py::object x, py::object rangeList, py::object y, py::object halfWinLen) {
        return integralRange(self, x, rangeList, y, halfWinLen);
      },
      py::arg("x"), py::arg("rangeList"), py::arg("y"), py::arg("halfWinLen") = 0,
      "Running rectangle-rule integral of y over the window positions of rangeList.");
  m.def("chainFilters", &chainFilters, py::arg("pairs"), py::arg("halfWin"), py::arg("dx"),
        py::arg("th") = 0, "The pairs at least th wide (th 0: a width derived from halfWin).");
  m.def(
      "poly1_1div3", [self](py::object x, py::object y) { return poly1_1div3(self, x, y); },
      py::arg("x"), py::arg("y"),
      "Slope of a line fitted to the middle third, and its ratio to the max-to-min chord slope.");
}
