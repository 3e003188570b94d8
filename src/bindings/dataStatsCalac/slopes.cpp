// The candidate tests' numbers: the running integral of the derivative over a pair and the
// slope ratio of its middle third.
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

#include "convert.hpp"
#include "functions.hpp"
#include "numpy_rules.hpp"
#include "python.hpp"
#include "segment_stats.hpp"

namespace lumetra::bindings::stats {

using namespace py::literals;

namespace {

// integralRange through the core, or nothing when the arguments are not plain numbers and
// positions, or a position falls outside x or y: the Python formula then decides.
std::optional<py::list> integralRangeFast(py::object x, py::object rangeList, py::object y,
                                          py::object halfWinLen) {
  if (!float64Input(x) || !float64Input(y) || !positionalItems(y)) return std::nullopt;
  py::object first = item(rangeList, 0);
  py::object second = item(rangeList, 1);
  if (!PyIndex_Check(first.ptr()) || !PyIndex_Check(second.ptr()) ||
      !PyIndex_Check(halfWinLen.ptr())) {
    return std::nullopt;
  }
  try {
    // Read in place: a fit calls this once per candidate, on the whole frame axis.
    const DoubleView xs(x);
    const DoubleView ys(y);
    // Clipped bounds that miss x or y go to the formula, which fails at once; a range within
    // them that no list can hold fails here with MemoryError rather than filling the memory.
    return floatList(lumetra::integralRange(xs.values(), clippedIndex(first), clippedIndex(second),
                                            ys.values(), clippedIndex(halfWinLen)));
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

[[noreturn]] void raiseWithoutSlope() {
  warn(py::module_::import("numpy.exceptions").attr("RankWarning"),
       "The fit may be poorly conditioned");
  throw py::index_error("index 1 is out of bounds for axis 0 with size 1");
}

// poly1_1div3 through the core, or nothing when x or y are not plain positional numbers.
std::optional<py::tuple> poly1_1div3Fast(py::object x, py::object y) {
  if (!float64Input(x) || !float64Input(y) || !positionalItems(x) || !positionalItems(y)) {
    return std::nullopt;
  }
  std::vector<double> xs;
  std::vector<double> ys;
  try {
    xs = toDoubles(x);
    ys = toDoubles(y);
  } catch (py::error_already_set&) {
    return std::nullopt;
  }
  const auto rule = isSeries(y) ? lumetra::NaNRule::skip : lumetra::NaNRule::propagate;
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
    warn(py::module_::import("numpy.exceptions").attr("RankWarning"),
         "The fit may be poorly conditioned");
  }
  FloatingErrors chord;
  chord.noteDivision(result->chordRise, result->chordRun);
  chord.report("scalar divide");
  FloatingErrors ratio;
  ratio.noteDivision(result->slope, result->chordSlope);
  ratio.report("scalar divide");
  return py::make_tuple(result->slope, result->ratio);
}

}  // namespace

py::list integralRange(const Route& route, py::object x, py::object rangeList, py::object y,
                       py::object halfWinLen) {
  auto fast = [&] { return integralRangeFast(x, rangeList, y, halfWinLen); };
  auto formula = [&] {
    py::object dx = route.module().attr("np").attr("diff")(x);
    py::list intList;
    py::object integral = py::int_(0);
    py::object i0 = item(rangeList, 0);
    py::object i1 = item(rangeList, 1);
    py::int_ leny(py::len(y));
    for (py::handle position : builtin("range")(i0, i1)) {
      auto i = py::reinterpret_borrow<py::object>(position);
      if (i >= leny) i = leny - py::int_(1);
      py::object step = dx[i + halfWinLen];  // looked up before y[i], as Python does
      integral = integral + step * py::reinterpret_borrow<py::object>(y)[i];
      intList.append(integral);
    }
    return intList;
  };
  return dispatch(route, fast, formula);
}

py::tuple poly1_1div3(const Route& route, py::object x, py::object y) {
  const auto length = static_cast<Py_ssize_t>(py::len(x));
  const Py_ssize_t span = length / 3;
  const Py_ssize_t halfspan = length / 2;
  if (span < 2) return py::make_tuple(py::none(), py::none());
  auto fast = [&] { return poly1_1div3Fast(x, y); };
  auto formula = [&] {
    const py::module_& m = route.module();
    py::object np = m.attr("np");
    py::object thex = positionalSlice(x, py::int_(span), py::int_(-span));
    py::object they = positionalSlice(y, py::int_(span), py::int_(-span));
    py::object fitted = m.attr("Polynomial").attr("fit")(thex, they, "deg"_a = 1).attr("convert")();
    py::object slope = fitted.attr("coef")[py::int_(1)];
    py::object i0 = np.attr("argmax")(positionalSlice(y, py::none(), py::int_(halfspan)));
    py::object i1 =
        py::int_(halfspan) + np.attr("argmin")(positionalSlice(y, py::int_(halfspan), py::none()));
    // Items are looked up in Python's order; the divisions follow numpy's floating-point rules
    // whatever the element types are.
    py::object yEnd = y[i1];
    py::object yStart = y[i0];
    const double rise = toDouble(yEnd - yStart);
    py::object xEnd = x[i1];
    py::object xStart = x[i0];
    const double run = toDouble(xEnd - xStart);
    FloatingErrors chord;
    chord.noteDivision(rise, run);
    chord.report("scalar divide");
    const double chordSlope = rise / run;
    const double slopeValue = toDouble(slope);
    FloatingErrors ratio;
    ratio.noteDivision(slopeValue, chordSlope);
    ratio.report("scalar divide");
    return py::make_tuple(slope, slopeValue / chordSlope);
  };
  return dispatch(route, fast, formula);
}

}  // namespace lumetra::bindings::stats
