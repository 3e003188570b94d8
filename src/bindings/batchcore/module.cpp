// lumetra.batchcore: the numeric work of batch fitting, kinetics and simulation, on numpy
// arrays.
#include "module.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "constants.hpp"
#include "csv.hpp"
#include "idealise.hpp"
#include "kinetic_simulate.hpp"
#include "kinetics.hpp"
#include "lumetraTrace/trace.hpp"
#include "screen.hpp"
#include "search.hpp"
#include "simulate.hpp"

namespace py = pybind11;
using lumetra::bindings::Doubles;
using lumetra::bindings::Integers;
using lumetra::bindings::toArray;
using lumetra::bindings::view;

namespace {

std::vector<lumetra::Partition> partitionsFrom(const Integers& starts, const Integers& ends) {
  if (starts.ndim() != 1 || ends.ndim() != 1 || starts.size() != ends.size()) {
    throw std::invalid_argument("starts and ends must be one-dimensional and of equal length");
  }
  std::vector<lumetra::Partition> out;
  for (py::ssize_t i = 0; i < starts.size(); ++i) {
    out.push_back({starts.data()[i], ends.data()[i], static_cast<std::ptrdiff_t>(i)});
  }
  return out;
}

py::dict rateDict(const lumetra::RateFit& fit) {
  py::dict d;
  d["rate"] = fit.rate;
  d["lower"] = fit.lower;
  d["upper"] = fit.upper;
  d["count"] = fit.count;
  d["log_likelihood"] = fit.logLikelihood;
  return d;
}

}  // namespace

LUMETRA_MODULE(batchcore, m) {
  m.doc() =
      "Segments, idealised traces, trace screening, dwell-time kinetics and kinetic "
      "simulation, and the constants shared with the Python code.";
  lumetra::bindings::batch::addConstants(m);
  lumetra::bindings::batch::addSearch(m);
  lumetra::bindings::batch::addScreening(m);
  lumetra::bindings::batch::addCsv(m);
  m.def(
      "state_guess",
      [](py::handle intensity) {
        return lumetra::bindings::trace::stateGuess(py::module_::import("numpy"), intensity);
      },
      py::arg("intensity"),
      "The guess lumetraTrace.loadData makes of the intensity it loads: 2 when it shows "
      "several levels, else 1.");

  m.def(
      "summarise_segments",
      [](const Doubles& intensity, const Integers& starts, const Integers& ends) {
        const auto values = view(intensity);
        const auto partitions = partitionsFrom(starts, ends);
        std::vector<lumetra::SegmentSummary> summary;
        {
          py::gil_scoped_release release;
          summary = lumetra::summariseSegments(values, partitions);
        }
        std::vector<double> mean, spread;
        for (const auto& s : summary) {
          mean.push_back(s.mean);
          spread.push_back(s.spread);
        }
        return py::make_tuple(toArray(mean), toArray(spread));
      },
      py::arg("intensity"), py::arg("starts"), py::arg("ends"),
      "Mean and population spread of intensity over each partition [start, end), NaN left "
      "out.");

  m.def(
      "frame_segments",
      [](std::size_t frames, const Integers& starts, const Integers& ends) {
        const auto partitions = partitionsFrom(starts, ends);
        std::vector<std::size_t> index;
        {
          py::gil_scoped_release release;
          index = lumetra::frameSegments(frames, partitions);
        }
        return toArray(std::vector<std::int64_t>(index.begin(), index.end()));
      },
      py::arg("frames"), py::arg("starts"), py::arg("ends"),
      "For every frame, the partition it belongs to in the idealised trace: a transition "
      "stretch between two partitions is split at its middle.");

  m.def(
      "cluster_levels",
      [](const Doubles& values, const Doubles& weights, std::size_t k) {
        const auto levels = view(values);
        const auto weighing = view(weights);
        lumetra::LevelClusters clusters;
        {
          py::gil_scoped_release release;
          clusters = lumetra::clusterLevels(levels, weighing, k);
        }
        return py::make_tuple(
            toArray(clusters.centres),
            toArray(std::vector<std::int64_t>(clusters.labels.begin(), clusters.labels.end())));
      },
      py::arg("values"), py::arg("weights"), py::arg("k"),
      "Weighted 1-D k-means: (ascending centres, label of each value).");

  m.def(
      "complete_dwells",
      [](const Doubles& levels, const Doubles& time) {
        const auto dwells = lumetra::completeDwells(view(levels), view(time));
        std::vector<double> level, duration;
        for (const auto& d : dwells) {
          level.push_back(d.level);
          duration.push_back(d.duration);
        }
        return py::make_tuple(toArray(level), toArray(duration));
      },
      py::arg("levels"), py::arg("time"),
      "(level, duration) of every dwell of an idealised trace bounded by transitions on both "
      "sides.");

  m.def(
      "fit_single_exponential",
      [](const Doubles& dwells, double shortest, double confidence) {
        return rateDict(lumetra::fitSingleExponential(view(dwells), shortest, confidence));
      },
      py::arg("dwells"), py::arg("shortest") = 0.0, py::arg("confidence") = 0.95,
      "Maximum-likelihood rate of the dwells >= shortest, shifted by it, with its exact "
      "confidence interval.");

  m.def(
      "fit_double_exponential",
      [](const Doubles& dwells, double shortest, double confidence) {
        const auto times = view(dwells);
        lumetra::DoubleExponentialFit fit;
        {
          py::gil_scoped_release release;
          fit = lumetra::fitDoubleExponential(times, shortest, confidence);
        }
        py::dict d;
        d["fraction"] = fit.fraction;
        d["fraction_lower"] = fit.fractionLower;
        d["fraction_upper"] = fit.fractionUpper;
        d["fast"] = rateDict(fit.fast);
        d["slow"] = rateDict(fit.slow);
        d["log_likelihood"] = fit.logLikelihood;
        d["iterations"] = fit.iterations;
        return d;
      },
      py::arg("dwells"), py::arg("shortest") = 0.0, py::arg("confidence") = 0.95,
      "Maximum-likelihood mixture of two exponentials with Wald intervals.");

  m.def(
      "simulate_kinetics",
      [](std::vector<double> levels, const Doubles& rates, double frameTime, std::size_t frames,
         bool shotNoise, double gaussianSigma, double bleachRate, double bleachedLevel,
         std::uint64_t seed) {
        lumetra::KineticSettings s;
        s.levels = std::move(levels);
        s.rates.assign(rates.data(), rates.data() + rates.size());
        if (rates.ndim() != 2 || rates.shape(0) != rates.shape(1)) {
          throw std::invalid_argument("rates must be a square matrix");
        }
        s.frameTime = frameTime;
        s.frames = frames;
        s.shotNoise = shotNoise;
        s.gaussianSigma = gaussianSigma;
        s.bleachRate = bleachRate;
        s.bleachedLevel = bleachedLevel;
        s.seed = seed;
        lumetra::KineticTrace t;
        {
          py::gil_scoped_release release;
          t = lumetra::simulateKinetics(s);
        }
        py::dict d;
        d["time"] = toArray(t.time);
        d["ideal"] = toArray(t.ideal);
        d["intensity"] = toArray(t.intensity);
        d["state"] = toArray(std::vector<std::int64_t>(t.state.begin(), t.state.end()));
        std::vector<std::int64_t> state;
        std::vector<double> start, duration;
        std::vector<bool> censored;
        for (const auto& dwell : t.dwells) {
          state.push_back(dwell.state);
          start.push_back(dwell.start);
          duration.push_back(dwell.duration);
          censored.push_back(dwell.censored);
        }
        py::dict dwells;
        dwells["state"] = toArray(state);
        dwells["start"] = toArray(start);
        dwells["duration"] = toArray(duration);
        dwells["censored"] = py::array(py::cast(censored));
        d["dwells"] = dwells;
        d["bleach_time"] = t.bleachTime;
        return d;
      },
      py::arg("levels"), py::arg("rates"), py::arg("frame_time"), py::arg("frames"), py::kw_only(),
      py::arg("shot_noise") = false, py::arg("gaussian_sigma") = 0.0, py::arg("bleach_rate") = 0.0,
      py::arg("bleached_level") = 0.0, py::arg("seed") = 0,
      "Simulate one trace of a 2- to 4-state kinetic scheme; rates[i][j] is the rate constant "
      "from state i to state j in 1/s.");

  m.def(
      "format_trace",
      [](const Doubles& time, const Doubles& intensity, const Doubles& ideal) {
        lumetra::SimulatedTrace t;
        t.time.assign(view(time).begin(), view(time).end());
        t.intensity.assign(view(intensity).begin(), view(intensity).end());
        t.ideal.assign(view(ideal).begin(), view(ideal).end());
        std::ostringstream out;
        lumetra::writeTraceFile(out, t);
        return out.str();
      },
      py::arg("time"), py::arg("intensity"), py::arg("ideal"),
      "A trace file's text: header Frame/10, CH1-BGND1, Ideal, numbers that read back exactly.");
}
