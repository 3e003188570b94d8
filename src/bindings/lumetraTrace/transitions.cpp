// Transitions and dwell times of idealised traces read from a spreadsheet, and their density
// plot.
#include "transitions.hpp"

#include <string>
#include <vector>

#include "convert.hpp"
#include "python.hpp"
#include "trace.hpp"

namespace lumetra::bindings::trace {

using namespace py::literals;

namespace {

// The ideal values of one column as doubles. Numeric columns go through numpy; any other
// column cell by cell, where a cell that is not a real number (text, a date) raises TypeError.
std::vector<double> levelValues(py::handle column) {
  const std::string kind = py::str(column.attr("dtype").attr("kind"));
  if (kind == "b" || kind == "i" || kind == "u" || kind == "f") return toDoubles(column);
  return toDoubles(column.attr("tolist")());
}

}  // namespace

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
  const double threshold = lumetra::tailThreshold(toDouble(trimTailsThreshold), minidl);

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
  return m.attr("collections").attr("OrderedDict")(builtin("sorted")(items));
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

}  // namespace lumetra::bindings::trace
