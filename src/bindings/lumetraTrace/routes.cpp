#include "routes.hpp"

#include <utility>
#include <vector>

#include "dataStatsCalac/routes.hpp"

namespace lumetra::bindings::trace {

namespace {

// The statistics functions the step fit calls, through this module's name dataStatsCalac.
std::vector<Route::Calls> fitCalls(const Route& xic) {
  stats::Routes& s = stats::routes();
  std::vector<Route::Calls> calls;
  for (const Route* callee :
       {&s.dataStatsVar, &s.dataDerivation, &s.streamNS, &s.th, &s.genPairs, &s.chainFilters,
        &s.thNS, &s.integralRange, &s.poly1_1div3, &s.genPartitions, &s.dataStd}) {
    calls.push_back({"dataStatsCalac", callee});
  }
  calls.push_back({"", &xic});  // and the score, by this module's name
  return calls;
}

}  // namespace

Routes& routes() {
  static Routes table{
      .inPeakList = {"inPeakList", {}},
      // xic looks inPeakList up by name at every frame.
      .xic = {"xic", {{"np", {"mean", "sum", "square", "log2", "log"}}}, {{"", &table.inPeakList}}},
      .fitTrajectory = {"fitTrajectory", {{"copy", {"deepcopy"}}}, fitCalls(table.xic)},
      .partitionStatistics = {"mergeNeighbours", {{"np", {"mean", "std"}}}},
  };
  return table;
}

void bindRoutes(py::handle module) {
  Routes& r = routes();
  for (Route* route : {&r.inPeakList, &r.xic, &r.fitTrajectory, &r.partitionStatistics}) {
    route->bind(module);
  }
}

}  // namespace lumetra::bindings::trace
