#include "explorer_figure.hpp"

#include <string>

#include "python.hpp"

namespace lumetra::bindings::figure {

using namespace py::literals;

namespace {

py::dict spanLabelFont() { return py::dict("family"_a = "Times New Roman", "size"_a = 15); }

// The layout's current items of one kind followed by the new ones.
py::list extended(py::handle layout, const char* kind, const py::list& additions) {
  py::list all(layout.attr(kind));
  for (py::handle item : additions) all.append(item);
  return all;
}

}  // namespace

AxisRefs subplotRefs(py::handle fig, int row, int col, bool secondaryY) {
  // The check plotly's add_* calls make first, with its message for a figure without subplots.
  if (py::hasattr(fig, "_validate_get_grid_ref")) fig.attr("_validate_get_grid_ref")();
  py::object subplot = fig.attr("get_subplot")(row, col, "secondary_y"_a = secondaryY);
  // Layout keys such as "xaxis2" are referred to as "x2".
  const auto ref = [](py::handle axis) {
    std::string key = py::str(axis.attr("plotly_name"));
    return py::str(key.replace(1, 4, ""));
  };
  return {ref(subplot.attr("xaxis")), ref(subplot.attr("yaxis"))};
}

py::dict span(py::handle x0, py::handle x1, const AxisRefs& refs, double opacity) {
  py::dict shape("type"_a = "rect", "x0"_a = x0, "x1"_a = x1, "y0"_a = 0, "y1"_a = 1);
  shape["xref"] = refs.x;
  shape["yref"] = refs.y + py::str(" domain");
  shape["fillcolor"] = "green";
  shape["opacity"] = opacity;
  shape["line"] = py::dict("width"_a = 0);
  return shape;
}

py::dict spanLabel(py::handle x0, py::handle x1, const AxisRefs& refs, py::handle text,
                   LabelCorner corner) {
  const bool topLeft = corner == LabelCorner::TopLeft;
  py::list xs;
  xs.append(x0);
  xs.append(x1);
  py::dict label("text"_a = text, "textangle"_a = 90, "font"_a = spanLabelFont(),
                 "showarrow"_a = false);
  label["x"] = builtin(topLeft ? "min" : "max")(xs);
  label["xanchor"] = topLeft ? "left" : "right";
  label["y"] = topLeft ? 1 : 0;
  label["yanchor"] = topLeft ? "top" : "bottom";
  label["xref"] = refs.x;
  label["yref"] = refs.y + py::str(" domain");
  return label;
}

py::dict horizontalLine(py::handle y, const AxisRefs& refs, py::handle line, py::handle name) {
  py::dict shape("type"_a = "line", "x0"_a = 0, "x1"_a = 1, "y0"_a = y, "y1"_a = y);
  shape["xref"] = refs.x + py::str(" domain");
  shape["yref"] = refs.y;
  if (!line.is_none()) shape["line"] = line;
  if (!name.is_none()) shape["name"] = name;
  return shape;
}

py::dict horizontalLineLabel(py::handle y, const AxisRefs& refs, const char* text, int fontSize,
                             const char* color) {
  py::dict label("text"_a = text, "font"_a = py::dict("size"_a = fontSize, "color"_a = color),
                 "showarrow"_a = false);
  label["x"] = 1;
  label["xanchor"] = "right";
  label["y"] = y;
  label["yanchor"] = "top";
  label["xref"] = refs.x + py::str(" domain");
  label["yref"] = refs.y;
  return label;
}

py::dict levelLine(py::handle x0, py::handle x1, py::handle y, const AxisRefs& refs,
                   py::handle name, py::handle line) {
  py::dict shape("type"_a = "line", "x0"_a = x0, "x1"_a = x1, "y0"_a = y, "y1"_a = y);
  shape["xref"] = refs.x;
  shape["yref"] = refs.y;
  shape["name"] = name;
  shape["line"] = line;
  return shape;
}

void appendToLayout(py::handle fig, const py::list& shapes, const py::list& annotations) {
  if (shapes.empty() && annotations.empty()) return;
  py::object layout = fig.attr("layout");
  py::dict update;
  if (!shapes.empty()) update["shapes"] = extended(layout, "shapes", shapes);
  if (!annotations.empty()) update["annotations"] = extended(layout, "annotations", annotations);
  // plotly's own switch for input it knows to be valid; without it, validate as usual.
  if (!py::hasattr(layout, "_validate")) {
    fig.attr("update_layout")(update);
    return;
  }
  py::object validate = layout.attr("_validate");
  layout.attr("_validate") = false;
  try {
    fig.attr("update_layout")(update);
  } catch (...) {
    layout.attr("_validate") = validate;
    throw;
  }
  layout.attr("_validate") = validate;
}

}  // namespace lumetra::bindings::figure
