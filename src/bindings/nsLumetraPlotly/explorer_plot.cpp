// The explorer's figure: the fit of the shared trace object drawn stage by stage into two
// rows (row 1: nonstationarity stream, candidate integrals, thresholds and the spans of the
// candidates that pass; row 2: the trace, the variance stream, the raw pairs and the levels).
#include <optional>
#include <utility>

#include "explorer_figure.hpp"
#include "explorer_parts.hpp"
#include "numpy_rules.hpp"
#include "python.hpp"
#include "route.hpp"

namespace lumetra::bindings::explorer {

namespace lb = lumetra::bindings;

using namespace py::literals;
using figure::AxisRefs;
using figure::LabelCorner;

namespace {

PyObject* ownLevelDrawing = nullptr;  // the class's plotMultiLevelFRET (kept for the process)

// The traces of one figure, added together at the end.
struct Traces {
  py::list traces, rows, cols, secondaryY;
  void add(py::object trace, int row, py::object secondary) {
    traces.append(std::move(trace));
    rows.append(row);
    cols.append(1);
    secondaryY.append(std::move(secondary));
  }
  void addTo(py::handle fig) const {
    fig.attr("add_traces")(traces, "rows"_a = rows, "cols"_a = cols, "secondary_ys"_a = secondaryY);
  }
};

// Makes the figure's scatter traces: through go.Scatter as the module names it, or, while that
// is still plotly's own (plotSubPlots' route is intact), as the plain dictionaries add_traces
// turns into the same traces (so each trace is validated once, not twice).
class ScatterMaker {
 public:
  explicit ScatterMaker(const lb::Route& route)
      : scatter_(route.module().attr("go").attr("Scatter")), plain_(route.intact()) {}
  py::object operator()(py::handle x, py::handle y, const char* name = nullptr) const {
    py::dict args("x"_a = x, "y"_a = y);
    if (name != nullptr) args["name"] = name;
    if (!plain_) return scatter_(**args);
    args["type"] = "scatter";
    return args;
  }

 private:
  py::object scatter_;
  bool plain_;
};

// The label of a filtered candidate: slope:ratio[sequence number]duration.
py::object candidateText(py::handle tf, py::handle frames, py::handle inewp, py::handle p0,
                         py::handle p1) {
  py::object round = builtin("round");
  py::object str = builtin("str");
  py::object text = str(round(item(tf.attr("fr"), inewp), 4)) + py::str(":") +
                    str(round(item(tf.attr("rr"), inewp), 4)) + py::str("[") +
                    str(item(item(tf.attr("newPairs"), inewp), 2)) + py::str("]");
  return text + str(round(item(frames, p1) - item(frames, p0), 3));
}

struct Layout {
  py::list shapes, annotations;
  void span(py::handle x0, py::handle x1, const AxisRefs& refs, double opacity, py::handle text,
            LabelCorner corner) {
    shapes.append(figure::span(x0, x1, refs, opacity));
    annotations.append(figure::spanLabel(x0, x1, refs, text, corner));
  }
};

// Spans of the raw pairs in row 2, from the first sample for a run that starts at window 0 and
// clamped to the last sample.
void drawPairs(py::handle tf, py::handle frames, py::handle half, Layout& layout,
               const AxisRefs& refs) {
  const py::int_ last(py::len(frames) - 1);
  for (py::handle pair : tf.attr("pairs")) {
    py::object p0 = half + item(pair, 0);
    py::object p1 = half + item(pair, 1);
    if (item(pair, 0).equal(py::int_(0))) p0 = py::int_(0);
    if (p1 > last) p1 = last;
    py::object label = py::str("[") + py::str(item(pair, 2)) + py::str("]");
    layout.span(item(frames, p0), item(frames, p1), refs, 0.25, label, LabelCorner::TopLeft);
  }
}

// Integrals of the filtered candidates, with spans in row 1 for those that pass the ratio test
// and in row 2 for those that have a ratio.
void drawCandidates(py::handle tf, py::handle frames, py::handle half, Traces& traces,
                    Layout& layout, const AxisRefs& row1, const AxisRefs& row2,
                    const ScatterMaker& scatter) {
  const auto count = static_cast<Py_ssize_t>(py::len(tf.attr("newPairs")));
  for (Py_ssize_t k = 0; k < count; ++k) {
    const py::int_ inewp(k);
    py::object p0 = item(item(tf.attr("newPairs"), inewp), 0) + half;
    py::object p1 = item(item(tf.attr("newPairs"), inewp), 1) + half;
    traces.add(scatter(positionalSlice(frames, p0, p1), item(tf.attr("integralDy"), inewp)), 1,
               py::none());
    py::object text;
    if (truthy(item(tf.attr("thresholdBoolRR"), inewp))) {
      text = candidateText(tf, frames, inewp, p0, p1);
      layout.span(item(frames, p0), item(frames, p1), row1, 0.25, text, LabelCorner::TopLeft);
    }
    if (item(tf.attr("rr"), inewp).not_equal(py::none())) {
      if (!text) text = candidateText(tf, frames, inewp, p0, p1);
      layout.span(item(frames, p0), item(frames, p1), row2, 0.25, text, LabelCorner::BottomRight);
    }
  }
}

// Spans of the accepted candidates in row 1, labelled with their duration.
void drawAccepted(py::handle tf, py::handle frames, py::handle half, Layout& layout,
                  const AxisRefs& refs) {
  py::object round = builtin("round");
  const py::int_ last(py::len(frames) - 1);
  for (py::handle p : tf.attr("pairs3")) {
    py::object i0 = item(p, 0) + half;
    py::object i1 = builtin("min")(item(p, 1) + half, last);
    py::object x0 = item(frames, i0);
    py::object x1 = item(frames, i1);
    py::object label =
        py::str("[") + py::str(item(p, 2)) + py::str("]") + py::str(round(x1 - x0, 3));
    layout.span(x0, x1, refs, 0.5, label, LabelCorner::TopLeft);
  }
}

// The variance threshold and mean (row 1, primary axis) and the nonstationarity threshold
// (row 1, secondary axis). The first two are drawn even while row 1 holds no trace yet.
void drawVarianceLines(const py::module_& m, py::handle tf, Layout& layout, const AxisRefs& refs) {
  py::object threshold = tf.attr("thresholdVar");
  layout.shapes.append(
      figure::horizontalLine(threshold, refs, py::dict("color"_a = "green"), py::none()));
  layout.annotations.append(
      figure::horizontalLineLabel(threshold, refs, "thresholdVar", 20, "green"));
  py::object mean = m.attr("np").attr("mean")(tf.attr("dataVar"));
  layout.shapes.append(figure::horizontalLine(
      mean, refs, py::dict("dash"_a = "dot", "color"_a = "yellow"), py::none()));
  layout.annotations.append(figure::horizontalLineLabel(mean, refs, "mean", 20, "yellow"));
}

py::object makeFigure(const py::module_& m, py::handle title) {
  py::list titles;
  titles.append(title);
  titles.append(title);
  py::list specs;
  for (int row = 0; row < 2; ++row) {
    py::list cells;
    cells.append(py::dict("secondary_y"_a = true));
    specs.append(cells);
  }
  return m.attr("make_subplots")("rows"_a = 2, "cols"_a = 1,
                                 "row_heights"_a = py::list(py::make_tuple(0.5, 0.5)),
                                 "subplot_titles"_a = titles, "specs"_a = specs);
}

}  // namespace

bool ownsLevelDrawing(py::handle self) {
  py::object bound = self.attr("plotMultiLevelFRET");
  return PyMethod_Check(bound.ptr()) && PyMethod_GET_FUNCTION(bound.ptr()) == ownLevelDrawing;
}

void rememberLevelDrawing(py::handle function) {
  ownLevelDrawing = py::reinterpret_borrow<py::object>(function).release().ptr();
}

py::list levelShapes(const py::module_& m, py::handle frames, py::handle CH1mBGND1,
                     py::handle partitions, py::handle fig) {
  py::list shapes;
  std::optional<AxisRefs> refs;
  py::object np = m.attr("np");
  py::object min = builtin("min");
  for (py::handle p : partitions) {
    py::object i0 = item(p, 0);
    py::object i1 = min(item(p, 1), py::len(CH1mBGND1) - 1, py::len(frames) - 1);
    py::object x0 = item(frames, i0);
    py::object x1 = item(frames, i1);
    py::object segment = positionalSlice(CH1mBGND1, i0, i1);
    py::object y0 = np.attr("mean")(segment);
    py::object std = np.attr("std")(segment);
    py::object upper = y0 + std;
    py::object lower = y0 - std;
    py::object name = py::str("mFRET") + py::str(item(p, 2));
    if (!refs) refs = figure::subplotRefs(fig, 2, 1, true);
    const auto band = [] {
      return py::dict("color"_a = "LightSeaGreen", "width"_a = 2, "dash"_a = "dashdot");
    };
    shapes.append(
        figure::levelLine(x0, x1, y0, *refs, name, py::dict("width"_a = 3, "color"_a = "yellow")));
    shapes.append(figure::levelLine(x0, x1, upper, *refs, name, band()));
    shapes.append(figure::levelLine(x0, x1, lower, *refs, name, band()));
  }
  return shapes;
}

py::object plotMultiLevelFRET(const py::module_& m, py::object /*self*/, py::object frames,
                              py::object CH1mBGND1, py::object partitions, py::object fig) {
  figure::appendToLayout(fig, levelShapes(m, frames, CH1mBGND1, partitions, fig), py::list());
  return py::none();
}

py::object plotSubPlots(const lb::Route& route, py::object self, py::object frames,
                        py::object CH1mBGND1, py::object title, py::object windowsLen,
                        py::object rratio, py::object thrate, py::object filterWidth) {
  const py::module_& m = route.module();
  if (assertionsEnabled()) {
    auto remainder =
        py::reinterpret_steal<py::object>(PyNumber_Remainder(windowsLen.ptr(), py::int_(2).ptr()));
    if (!remainder) throw py::error_already_set();
    if (!remainder.equal(py::int_(1))) failAssertion();
  }
  py::object half = builtin("int")((windowsLen - py::int_(1)) / py::int_(2));
  py::object fig = makeFigure(m, title);
  py::object tf = self.attr("tf");
  py::object score = tf.attr("fitTrajectory")(half, rratio, thrate, filterWidth);

  const AxisRefs row1 = figure::subplotRefs(fig, 1, 1, false);
  const AxisRefs row1Secondary = figure::subplotRefs(fig, 1, 1, true);
  const AxisRefs row2 = figure::subplotRefs(fig, 2, 1, false);
  const ScatterMaker scatter(route);
  py::object negativeHalf = -half;
  Traces traces;
  Layout layout;
  traces.add(scatter(frames, CH1mBGND1, "CH1mBGND1"), 2, py::bool_(true));
  traces.add(scatter(positionalSlice(frames, half, negativeHalf), tf.attr("dataVar"), "var"), 2,
             py::bool_(false));
  drawPairs(tf, frames, half, layout, row2);
  drawVarianceLines(m, tf, layout, row1);
  traces.add(
      scatter(positionalSlice(frames, half, negativeHalf - py::int_(1)), tf.attr("dataNS"), "NS"),
      1, py::bool_(true));
  layout.shapes.append(figure::horizontalLine(tf.attr("thresholdNS"), row1Secondary, py::none(),
                                              py::str("Mean NS")));
  drawCandidates(tf, frames, half, traces, layout, row1, row2, scatter);
  drawAccepted(tf, frames, half, layout, row1);
  traces.addTo(fig);

  tf.attr("mergeNeighbours")();
  if (ownsLevelDrawing(self)) {
    for (py::handle shape : levelShapes(m, frames, CH1mBGND1, tf.attr("partitions"), fig)) {
      layout.shapes.append(shape);
    }
    figure::appendToLayout(fig, layout.shapes, layout.annotations);
  } else {
    figure::appendToLayout(fig, layout.shapes, layout.annotations);
    self.attr("plotMultiLevelFRET")(frames, CH1mBGND1, tf.attr("partitions"), fig);
  }
  fig.attr("update_layout")("height"_a = 950);
  fig.attr("layout").attr("autosize") = true;

  recordBuild(m, self, tf, score);
  handOverRows(m, self);
  return fig;
}

}  // namespace lumetra::bindings::explorer
