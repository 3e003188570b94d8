// The explorer's plotly figure pieces: spans, horizontal lines and level lines as the plain
// layout dictionaries that plotly's add_vrect, add_hline and add_shape would make, so that a
// figure with hundreds of them is built with one layout update instead of one call each
// (plotly revalidates the whole shape list on every single addition).
#pragma once

#include "module.hpp"

namespace lumetra::bindings::figure {

// The axis references of one subplot of a make_subplots figure: "x2" and "y4", say.
struct AxisRefs {
  py::str x;
  py::str y;
};
AxisRefs subplotRefs(py::handle fig, int row, int col, bool secondaryY);

// Where a span's label sits, as plotly's annotation_position names it.
enum class LabelCorner { TopLeft, BottomRight };

// A green span from x0 to x1 over the whole height of a subplot, and its vertical label.
py::dict span(py::handle x0, py::handle x1, const AxisRefs& refs, double opacity);
py::dict spanLabel(py::handle x0, py::handle x1, const AxisRefs& refs, py::handle text,
                   LabelCorner corner);

// A horizontal line at y over the whole width of a subplot; `line` and `name` may be None.
py::dict horizontalLine(py::handle y, const AxisRefs& refs, py::handle line, py::handle name);
// Its label in the bottom right corner, in the given font size and colour.
py::dict horizontalLineLabel(py::handle y, const AxisRefs& refs, const char* text, int fontSize,
                             const char* color);

// A line segment from (x0, y) to (x1, y) on the given axes.
py::dict levelLine(py::handle x0, py::handle x1, py::handle y, const AxisRefs& refs,
                   py::handle name, py::handle line);

// Appends shapes and annotations to the figure's layout in one update. The dictionaries are
// already in the form plotly's validation gives, so validation is skipped where plotly allows
// it; the figure is the same as with one add_* call per item.
void appendToLayout(py::handle fig, const py::list& shapes, const py::list& annotations);

}  // namespace lumetra::bindings::figure
