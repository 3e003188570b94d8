// The methods of the explorer class fretExplorer, split by concern: the figure builders
// (explorer_plot.cpp) and the constructor, reactions and table hand-over
// (explorer_methods.cpp).
#pragma once

#include <memory>

#include "module.hpp"
#include "route.hpp"

namespace lumetra::bindings::explorer {

// Adds the methods to the class namespace `ns`, in the order they appear on the class;
// `cls` is filled with the class once it exists (for super()).
void addMethods(const py::module_& m, py::dict& ns, const std::shared_ptr<py::object>& cls);

// The builders behind plotMultiLevelFRET and plotSubPlots.
py::object plotMultiLevelFRET(const py::module_& m, py::object self, py::object frames,
                              py::object CH1mBGND1, py::object partitions, py::object fig);
py::object plotSubPlots(const Route& route, py::object self, py::object frames,
                        py::object CH1mBGND1, py::object title, py::object windowsLen,
                        py::object rratio, py::object thrate, py::object filterWidth);

// The level lines of plotMultiLevelFRET as layout shapes, without touching the figure.
py::list levelShapes(const py::module_& m, py::handle frames, py::handle CH1mBGND1,
                     py::handle partitions, py::handle fig);

// True when `self.plotMultiLevelFRET` is the class's own, so plotSubPlots may draw its shapes
// together with the others.
bool ownsLevelDrawing(py::handle self);
void rememberLevelDrawing(py::handle function);

// Replaces stream_df with the rows of this build (one per partition, the negated score in the
// last), numbered by the next build number.
void recordBuild(const py::module_& m, py::handle self, py::handle tf, py::handle score);
// Streams the rows into the table, or schedules the task that does so for the first time.
void handOverRows(const py::module_& m, py::handle self);

// The empty results frame: columns "p0", "p1", "idx" (int) and "m2" (float).
py::object emptyResults(const py::module_& m);

}  // namespace lumetra::bindings::explorer
