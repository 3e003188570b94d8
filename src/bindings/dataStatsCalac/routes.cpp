#include "routes.hpp"

#include "functions.hpp"

namespace lumetra::bindings::stats {

Routes& routes() {
  // The names of this module that each C++ body reproduces; pairs, partitions and the width
  // filter use none (they fall back to their formula by their arguments alone).
  static Routes table{
      .streamNS = {"streamNS", {{"ns", {"NonStationary"}}}, {}, &nativeComponent},
      .dataStatsVar = {"dataStatsVar", {{"np", {"var"}}}},
      .dataMoment = {"dataMoment", {{"moment"}}},
      .dataStd = {"dataStd", {{"np", {"std"}}}},
      .dataDerivation = {"dataDerivation", {{"np", {"diff"}}}},
      .th = {"th", {{"np", {"mean"}}}},
      .thNS = {"thNS", {{"np", {"mean"}}}},
      .genPairs = {"genPairs", {}},
      .genPartitions = {"genPartitions", {}},
      .integralRange = {"integralRange", {{"np", {"diff"}}}},
      .chainFilters = {"chainFilters", {}},
      .poly1_1div3 = {"poly1_1div3", {{"Polynomial"}, {"np", {"argmax", "argmin"}}}},
  };
  return table;
}

void bindRoutes(py::handle module) {
  Routes& r = routes();
  for (Route* route :
       {&r.streamNS, &r.dataStatsVar, &r.dataMoment, &r.dataStd, &r.dataDerivation, &r.th, &r.thNS,
        &r.genPairs, &r.genPartitions, &r.integralRange, &r.chainFilters, &r.poly1_1div3}) {
    route->bind(module);
  }
}

}  // namespace lumetra::bindings::stats
