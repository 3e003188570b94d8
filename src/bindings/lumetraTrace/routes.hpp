// The routes of the trace object's module (see Route): what each C++ body stands in for.
#pragma once

#include "route.hpp"

namespace lumetra::bindings::trace {

struct Routes {
  Route inPeakList, xic, fitTrajectory, partitionStatistics;
};

// The table.
Routes& routes();
// Binds every route of the table; the module body calls it once it has defined every name.
void bindRoutes(py::handle module);

}  // namespace lumetra::bindings::trace
