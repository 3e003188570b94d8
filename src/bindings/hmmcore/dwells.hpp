// The dwell-time checks of lumetra.hmmcore (dwell_check.hpp) on numpy arrays: dwells and levels
// as int64 arrays, distributions as float64 arrays over 0..max frames.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pytypes.h>

#include <cstddef>
#include <cstdint>

#include "arrays.hpp"

namespace lumetra::bindings {

// level, frames and censored: one entry per run of the path.
py::dict levelRuns(const Integers& levels);

// The dwell distribution on `level` of the rate matrix `rates` (S x S).
py::array_t<double> levelCdf(const Doubles& rates, const Integers& stateLevels, std::int64_t level,
                             double frameTime, std::size_t maxFrames);

double dwellDistance(const Integers& dwells, const Doubles& cdf);

// fits: a dict (weights, means, log_likelihood, bic, iterations) per number of components;
// chosen: the index BIC picks.
py::dict mixtures(const Integers& dwells, std::size_t maxComponents);

py::array_t<double> mixtureCdf(const Doubles& weights, const Doubles& means, std::size_t maxFrames);

}  // namespace lumetra::bindings
