// The methods and module functions of lumetra.lumetraTrace; `m` is the module, whose names
// (np, pd, dataStatsCalac, xic, ...) the call-by-call bodies look up when they use them. A
// routed body (see routed.hpp) takes its route instead, and reaches the module through it.
#pragma once

#include <pybind11/pybind11.h>

#include "route.hpp"

namespace lumetra::bindings::trace {

namespace py = pybind11;

// Loading.
void loadData(const py::module_& m, py::object self, py::object filename);
// The guess loadData makes of a loaded intensity: 2 when it shows several levels, else 1;
// np.mean, np.max and np.min of `np` as it stands.
py::int_ stateGuess(py::handle np, py::handle intensity);

// Scores.
bool inPeakList(py::object x, py::object peakList);
py::object xic(const Route& route, py::object partitions, py::object intensity, py::object peakList,
               py::object halfWinLen);
py::object allFramesScore(py::object partitions, py::object intensity);
py::object rejectedScore();

// The step fit and its search.
py::object fitTrajectory(const Route& route, py::object self, py::object halfWinLen,
                         py::object rratio, py::object thrate, py::object filterWidth,
                         py::object keepPairs);
py::object fitComposed(const Route& route, py::object self, py::object halfWinLen,
                       py::object rratio, py::object thrate, py::object filterWidth,
                       py::object keepPairs);
py::object fitness(py::object self, py::object params);
void optimizeFitness(const py::module_& m, py::object self, py::object sHalfWin, py::object sRR,
                     py::object sThR, py::object sFilterW, py::object criterion);

// Levels.
void mergeNeighbours(const Route& route, py::object self);
py::object finalPartitions(const py::module_& m, py::object self);
void refineTransitions(py::object self);

// Transitions of idealised traces.
void transitionStatistics(const py::module_& m, py::object self, py::object xlsx, py::object tgtCol,
                          py::object mergeAll, py::object trimTailsThreshold);
py::object getDwellTimeDict(const py::module_& m, py::object self);
void transitionDensityPlot(py::object lumetraObj, py::object binSize, py::object figSize,
                           py::object i, py::object fret0, py::object fret1);

// The class, with every method above bound to the module.
py::object makeTraceClass(const py::module_& m);

}  // namespace lumetra::bindings::trace
