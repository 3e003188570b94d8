// The routes of the statistics functions (see Route): what each C++ body stands in for.
#pragma once

#include "route.hpp"

namespace lumetra::bindings::stats {

struct Routes {
  Route streamNS, dataStatsVar, dataMoment, dataStd, dataDerivation, th, thNS, genPairs,
      genPartitions, integralRange, chainFilters, poly1_1div3;
};

// The table.
Routes& routes();
// Binds every route of the table; the module body calls it once it has defined every name.
void bindRoutes(py::handle module);

}  // namespace lumetra::bindings::stats
