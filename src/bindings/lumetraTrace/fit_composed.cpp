// The call-by-call body of the step fit: a sequence of calls of the module's statistics
// functions, each looked up when it is used, so that a replaced one is honoured.
#include "fit_record.hpp"
#include "numpy_rules.hpp"
#include "python.hpp"
#include "trace.hpp"

namespace lumetra::bindings::trace {

namespace {

// The score of stored partitions against the reference pairs (the saved ones if any), through
// this module's xic; a fit with no frame left to score is rejected rather than failing.
py::object scoreThroughXic(const Route& route, py::object self, py::object partitions,
                           py::object intensity, py::object pairs, py::object halfWinLen) {
  if (py::int_(py::len(partitions)) < py::object(self.attr("stateNum"))) return rejectedScore();
  py::object saved = self.attr("keepPairs");
  py::object reference = saved.is_none() ? pairs : saved;
  try {
    return route.callee("xic")(partitions, intensity, reference, halfWinLen);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ZeroDivisionError)) throw;
    return rejectedScore();
  }
}

// A list of n False, filled in place as the candidates are tested.
py::list allFalse(Py_ssize_t n) {
  py::list flags(n);
  for (Py_ssize_t i = 0; i < n; ++i) flags[i] = py::bool_(false);
  return flags;
}

}  // namespace

py::object fitComposed(const Route& route, py::object self, py::object halfWinLen,
                       py::object rratio, py::object thrate, py::object filterWidth,
                       py::object keepPairs) {
  FitRecord record(self);
  py::object windowsLen = halfWinLen * py::int_(2) + py::int_(1);
  py::object frames = self.attr("frames");
  py::object intensity = self.attr("CH1mBGND1");
  py::object y = route.callee("dataStatsVar")(frames, intensity, windowsLen);
  record.put(FitResult::dataVar, y);
  py::object dy =
      route.callee("dataDerivation")(positionalSlice(frames, halfWinLen, -halfWinLen), y, 2);
  py::object ns = route.callee("streamNS")(intensity, windowsLen);
  record.put(FitResult::dataNS, ns);
  py::object thy = route.callee("th")(y, thrate);
  record.put(FitResult::thresholdVar, thy);
  py::object pairs = route.callee("genPairs")(y, thy);
  record.put(FitResult::pairs, pairs);
  if (truthy(keepPairs)) record.keepPairs(route.module().attr("copy").attr("deepcopy")(pairs));
  // Row 1 first, as Python evaluates `frames[1] - frames[0]`: its KeyError for a short trace.
  py::object second = frames[py::int_(1)];
  py::object step = second - frames[py::int_(0)];
  py::object newPairs = route.callee("chainFilters")(pairs, halfWinLen, step, filterWidth);
  record.put(FitResult::newPairs, newPairs);
  py::object thNS = route.callee("thNS")(ns);
  record.put(FitResult::thresholdNS, thNS);

  const auto n = static_cast<Py_ssize_t>(py::len(newPairs));
  py::list pairs3, integralDy, rrList, frList;
  py::list boolRR = allFalse(n);
  py::list boolNS = allFalse(n);
  record.put(FitResult::pairs3, pairs3);
  record.put(FitResult::integralDy, integralDy);
  record.put(FitResult::thresholdBoolRR, boolRR);
  record.put(FitResult::thresholdBoolNS, boolNS);
  record.put(FitResult::rr, rrList);
  record.put(FitResult::fr, frList);
  for (Py_ssize_t i = 0; i < n; ++i) {
    py::object pair = newPairs[py::int_(i)];
    py::object p0 = pair[py::int_(0)];
    py::object p1 = pair[py::int_(1)];
    py::list bounds;
    bounds.append(p0);
    bounds.append(p1);
    py::object idy = route.callee("integralRange")(frames, bounds, dy, halfWinLen);
    integralDy.append(idy);
    py::object rows = positionalSlice(frames, p0 + halfWinLen, p1 + halfWinLen).attr("to_numpy")();
    py::object result = route.callee("poly1_1div3")(rows, idy);
    py::object fr = result[py::int_(0)];
    py::object rr = result[py::int_(1)];
    frList.append(fr);
    rrList.append(rr);
    if (rr.is_none() || !(rr > rratio)) continue;
    boolRR[i] = py::bool_(true);
    for (py::handle iins : builtin("range")(p0 + py::int_(1), p1)) {
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
  py::object partitions = route.callee("genPartitions")(pairs3, halfWinLen, py::len(frames));
  record.put(FitResult::partitions, partitions);
  record.put(FitResult::moments, route.callee("dataStd")(intensity, partitions));
  return scoreThroughXic(route, self, partitions, intensity, pairs, halfWinLen);
}

}  // namespace lumetra::bindings::trace
