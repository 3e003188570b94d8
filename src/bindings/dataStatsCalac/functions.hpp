// The statistics functions of lumetra.dataStatsCalac, each with its C++ body and its
// call-by-call body. A body that has a route (see routed.hpp) takes it first, and reaches the
// module, whose names the formulas look up when they use them, through it.
#pragma once

#include <pybind11/pybind11.h>

#include "route.hpp"

namespace lumetra::bindings::stats {

namespace py = pybind11;

// Loads the native component's API; the module body calls it before anything else uses it.
void loadNativeApi();
// True while `module.ns.NonStationary` is the native class with its own nsFuncRange.
bool nativeComponent(py::handle module);

py::list streamNS(const Route& route, py::object stream, py::object windowsLen, py::object nsAlgo);
py::list dataStatsVar(const Route& route, py::object frames, py::object data,
                      py::object windowsLen);
py::object dataDerivation(const Route& route, py::object frames, py::object data, py::object n);
py::object th(const Route& route, py::object y, py::object rate);
py::object thNS(const Route& route, py::object ns);
py::list dataMoment(const Route& route, py::object data, py::object partitions, py::object N);
py::list dataStd(const Route& route, py::object data, py::object partitions);
py::list genPairs(py::object data, py::object th);
py::list genPartitions(py::object pairs, py::object halfWinLen, py::object dataLen);
py::list chainFilters(py::object pairs, py::object halfWin, py::object dx, py::object th);
py::list integralRange(const Route& route, py::object x, py::object rangeList, py::object y,
                       py::object halfWinLen);
py::tuple poly1_1div3(const Route& route, py::object x, py::object y);

}  // namespace lumetra::bindings::stats
