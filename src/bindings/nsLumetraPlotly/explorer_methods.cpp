// The explorer's constructor and reactions: building the view, reloading a chosen file,
// resetting the tuning parameters, and handing each build's rows to the results table.
#include <utility>
#include <vector>

#include "explorer_parts.hpp"
#include "python.hpp"
#include "routed.hpp"

namespace lumetra::bindings::explorer {

using namespace py::literals;

namespace {

constexpr const char* kTask = "renderTab1task";

void setIfDifferent(py::handle self, const char* name, py::object value) {
  if (py::object(self.attr(name)).not_equal(value)) self.attr(name) = std::move(value);
}

// True when every row of the build is made of plain integers and floats, which pandas stores
// as int64 and float64 columns.
bool plainRows(py::handle partitions, py::handle spreads, py::handle build) {
  if (!PyLong_CheckExact(build.ptr())) return false;
  for (py::handle p : partitions) {
    if (py::len(p) < 2) return false;
    auto partition = py::reinterpret_borrow<py::object>(p);
    if (!PyLong_CheckExact(py::object(partition[py::int_(0)]).ptr()) ||
        !PyLong_CheckExact(py::object(partition[py::int_(1)]).ptr())) {
      return false;
    }
  }
  for (py::handle s : spreads) {
    if (!PyFloat_Check(s.ptr())) return false;
  }
  return true;
}

// The rows as one frame, as appending them one by one through .loc would leave them.
py::object rowsAtOnce(const py::module_& m, py::handle partitions, py::list spreads,
                      py::handle build) {
  py::object np = py::module_::import("numpy");
  py::object pd = m.attr("pd");
  py::list starts, ends, builds;
  for (py::handle p : partitions) {
    auto partition = py::reinterpret_borrow<py::object>(p);
    starts.append(partition[py::int_(0)]);
    ends.append(partition[py::int_(1)]);
    builds.append(build);
  }
  py::dict columns;
  columns["p0"] = np.attr("array")(starts, "dtype"_a = "int64");
  columns["p1"] = np.attr("array")(ends, "dtype"_a = "int64");
  columns["idx"] = np.attr("array")(builds, "dtype"_a = "int64");
  columns["m2"] = np.attr("array")(spreads, "dtype"_a = "float64");
  py::object index = pd.attr("Index")(np.attr("arange")(py::len(starts), "dtype"_a = "int64"));
  return pd.attr("DataFrame")(columns, "index"_a = index);
}

// Pairs of items of two sequences, as far as the shorter one goes (Python's zip).
std::vector<std::pair<py::object, py::object>> zipped(py::handle a, py::handle b) {
  std::vector<std::pair<py::object, py::object>> out;
  py::iterator second = py::iter(b);
  for (py::handle first : a) {
    if (second == py::iterator::sentinel()) break;
    out.emplace_back(py::reinterpret_borrow<py::object>(first),
                     py::reinterpret_borrow<py::object>(*second));
    ++second;
  }
  return out;
}

py::object updateTab(py::object self) {
  self.attr("stream_table").attr("stream")(self.attr("stream_df"), "follow"_a = true);
  self.attr("renderTab1taskDone") = true;
  try {
    self.attr("panel").attr("state").attr("cancel_task")(kTask);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_KeyError)) throw;
    py::print("Error: No such task");
  }
  return py::none();
}

py::object construct(const py::module_& m, const std::shared_ptr<py::object>& cls, py::object self,
                     py::object filename, py::object /*pnLayout*/) {
  py::module_::import("builtins").attr("super")(*cls, self).attr("__init__")();
  self.attr("tf").attr("loadData")(filename);
  self.attr("title") = filename;
  self.attr("fileName") = filename;
  self.attr("stream_df") = emptyResults(m);
  py::list sorters;
  sorters.append(py::dict("field"_a = "idx", "dir"_a = "desc"));
  sorters.append(py::dict("field"_a = "index", "dir"_a = "asc"));
  py::list groupby;
  groupby.append("idx");
  py::list hidden;
  hidden.append("index");
  hidden.append("idx");
  py::object pn = m.attr("pn");
  self.attr("stream_table") = pn.attr("widgets").attr("Tabulator")(
      self.attr("stream_df"), "layout"_a = "fit_columns", "height"_a = 550, "sorters"_a = sorters,
      "groupby"_a = groupby, "hidden_columns"_a = hidden);
  self.attr("sampleIdx") = 0;
  self.attr("panel") = pn;
  self.attr("renderTab1taskDone") = false;
  return py::none();
}

py::object resetParam(const py::module_& m, py::object self) {
  setIfDifferent(self, "halfWindowsLen", py::int_(9));
  setIfDifferent(self, "rratio", py::float_(0.177));
  setIfDifferent(self, "thrate", py::float_(0.2));
  setIfDifferent(self, "filterWidth", py::int_(0));
  self.attr("stream_table").attr("value") = emptyResults(m);
  return py::none();
}

py::object reloadData(py::object self) {
  self.attr("tf").attr("loadData")(self.attr("fileName"));
  self.attr("title") = self.attr("fileName");
  return py::none();
}

py::object plot(const py::module_& m, py::object self) {
  py::object windowsLen = py::object(self.attr("halfWindowsLen")) * py::int_(2) + py::int_(1);
  py::object tf = self.attr("tf");
  py::object fig = self.attr("plotSubPlots")(tf.attr("frames"), tf.attr("CH1mBGND1"),
                                             self.attr("title"), windowsLen, self.attr("rratio"),
                                             self.attr("thrate"), self.attr("filterWidth"));
  return m.attr("pn").attr("pane").attr("Plotly")(fig,
                                                  "config"_a = py::dict("responsive"_a = true));
}

}  // namespace

py::object emptyResults(const py::module_& m) {
  py::object pd = m.attr("pd");
  py::object series = pd.attr("Series");
  py::dict columns;
  columns["p0"] = series("dtype"_a = "int");
  columns["p1"] = series("dtype"_a = "int");
  columns["idx"] = series("dtype"_a = "int");
  columns["m2"] = series("dtype"_a = "float");
  return pd.attr("DataFrame")(columns);
}

void recordBuild(const py::module_& m, py::handle self, py::handle tf, py::handle score) {
  self.attr("stream_df") = emptyResults(m);
  self.attr("sampleIdx") = py::object(self.attr("sampleIdx")) + py::int_(1);
  py::object build = self.attr("sampleIdx");
  py::object partitions = tf.attr("partitions");
  // The spread of each partition as it stands after merging (the fit's own list describes
  // the partitions before the merge).
  py::list spreads(m.attr("lumetraTrace")
                       .attr("dataStatsCalac")
                       .attr("dataStd")(tf.attr("CH1mBGND1"), partitions));
  if (py::len(partitions) == 0) return;
  py::object negatedScore = -py::reinterpret_borrow<py::object>(score);

  if (plainRows(partitions, spreads, build)) {
    py::object rows = rowsAtOnce(m, partitions, spreads, build);
    rows.attr("iloc")[py::make_tuple(-1, -1)] = negatedScore;
    self.attr("stream_df") = rows;
    return;
  }
  py::object rows = self.attr("stream_df");
  for (auto [p, spread] : zipped(partitions, spreads)) {
    py::list row;
    row.append(p[py::int_(0)]);
    row.append(p[py::int_(1)]);
    row.append(build);
    row.append(spread);
    rows.attr("loc")[py::int_(py::len(rows.attr("index")))] = row;
  }
  py::object last = py::int_(py::len(rows.attr("index")) - 1);
  rows.attr("loc")[py::make_tuple(last, rows.attr("columns")[py::int_(-1)])] = negatedScore;
}

void handOverRows(const py::module_& m, py::handle self) {
  if (truthy(self.attr("renderTab1taskDone"))) {
    self.attr("stream_table").attr("stream")(self.attr("stream_df"), "follow"_a = true);
    return;
  }
  py::object dt = m.attr("dt");
  py::object at = dt.attr("datetime").attr("now")() + dt.attr("timedelta")("seconds"_a = 3);
  self.attr("panel").attr("state").attr("schedule_task")(kTask, self.attr("updateTab"),
                                                         "at"_a = at);
}

void addMethods(const py::module_& m, py::dict& ns, const std::shared_ptr<py::object>& cls) {
  py::object depends = m.attr("param").attr("depends");
  py::cpp_function levels(
      [m](py::object self, py::object frames, py::object CH1mBGND1, py::object partitions,
          py::object fig) {
        return plotMultiLevelFRET(m, self, frames, CH1mBGND1, partitions, fig);
      },
      py::name("plotMultiLevelFRET"), py::scope(m), py::arg("self"), py::arg("frames"),
      py::arg("CH1mBGND1"), py::arg("partitions"), py::arg("fig"),
      "Draw every partition's mean level, with lines one standard deviation above and below, "
      "into row 2 of the figure.");
  rememberLevelDrawing(levels);
  ns["plotMultiLevelFRET"] = asMethod(std::move(levels));
  // Its figure's traces are built in one call while go.Scatter is plotly's own.
  ns["plotSubPlots"] = routedMethod(
      m, {"plotSubPlots", {{"go", {"Scatter"}}}}, &plotSubPlots, py::scope(m), py::arg("self"),
      py::arg("frames"), py::arg("CH1mBGND1"), py::arg("title"), py::arg("windowsLen"),
      py::arg("rratio") = 0.177, py::arg("thrate") = 0.2, py::arg("filterWidth") = 0,
      "Fit the shared trace and draw the trace, streams, thresholds, candidates and merged "
      "levels into a two-row figure; record the build's segments for the results table.");
  ns["updateTab"] =
      asMethod(py::cpp_function(&updateTab, py::name("updateTab"), py::scope(m), py::arg("self"),
                                "Append the latest build's rows to the results table."));
  ns["__init__"] = asMethod(
      py::cpp_function(
          [m, cls](py::object self, py::object filename, py::object pnLayout) {
            construct(m, cls, self, filename, pnLayout);
          },
          py::name("init"), py::scope(m), py::arg("self"), py::arg("filename"),
          py::arg("pnLayout") = py::none(),
          "Load the trace file into the shared trace object and start an empty results table."),
      "__init__");
  ns["reset_param"] = depends("button", "watch"_a = true)(py::cpp_function(
      [m](py::object self) { return resetParam(m, self); }, py::name("reset_param"), py::scope(m),
      py::arg("self"), "Restore the default tuning parameters and empty the results table."));
  ns["reload_data"] = depends("fileName", "watch"_a = true)(
      py::cpp_function(&reloadData, py::name("reload_data"), py::scope(m), py::arg("self"),
                       "Load the chosen trace file."));
  ns["plot"] =
      depends("halfWindowsLen", "rratio", "thrate", "filterWidth", "fileName")(py::cpp_function(
          [m](py::object self) { return plot(m, self); }, py::name("plot"), py::scope(m),
          py::arg("self"), "The figure for the current parameters, in a pane."));
}

}  // namespace lumetra::bindings::explorer
