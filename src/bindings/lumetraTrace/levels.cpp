// Level refinement: neighbouring partitions merged, the final partitions with their means, and
// the change points placed inside transition stretches.
#include <pybind11/numpy.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "convert.hpp"
#include "merge.hpp"
#include "numpy_rules.hpp"
#include "refine.hpp"
#include "segment_stats.hpp"
#include "trace.hpp"

namespace lumetra::bindings::trace {

namespace {

struct PartitionStatistics {
  std::vector<double> means, stds;
};

// Mean and standard deviation of each partition's intensities, as numpy gives them.
PartitionStatistics partitionStatistics(const Route& route, py::handle partitions,
                                        py::handle intensity) {
  auto fast = [&]() -> std::optional<PartitionStatistics> {
    if (!isSeries(intensity) || !float64Input(intensity) || !positionalItems(intensity)) {
      return std::nullopt;
    }
    const auto parts = plainPartitions(partitions);
    if (!parts) return std::nullopt;
    const std::vector<double> samples = toDoubles(intensity);
    py::gil_scoped_release release;
    return PartitionStatistics{lumetra::segmentMeans(samples, *parts, lumetra::NaNRule::skip),
                               lumetra::segmentStd(samples, *parts, lumetra::NaNRule::skip)};
  };
  auto formula = [&] {
    py::object np = route.module().attr("np");
    PartitionStatistics out;
    for (py::handle p : partitions) {
      auto partition = py::reinterpret_borrow<py::object>(p);
      py::object segment =
          positionalSlice(intensity, partition[py::int_(0)], partition[py::int_(1)]);
      out.means.push_back(toDouble(np.attr("mean")(segment)));
      out.stds.push_back(toDouble(np.attr("std")(segment)));
    }
    return out;
  };
  return dispatch(route, fast, formula);
}

}  // namespace

void mergeNeighbours(const Route& route, py::object self) {
  py::object partitions = self.attr("partitions");
  const PartitionStatistics statistics =
      partitionStatistics(route, partitions, self.attr("CH1mBGND1"));
  const std::vector<bool> flags = lumetra::mergeFlags(statistics.means, statistics.stds);
  // Backwards, so that removing an entry never moves one still to be visited; each run of
  // joined partitions hands its end to the partition before it.
  std::optional<py::object> runEnd;
  for (std::size_t k = flags.size(); k-- > 0;) {
    py::object partition = partitions[py::int_(k)];
    if (flags[k]) {
      if (!runEnd) runEnd = py::object(partition[py::int_(1)]);
      partitions.attr("pop")(k);
    } else if (runEnd) {
      partition[py::int_(1)] = *runEnd;
      runEnd.reset();
    }
  }
}

py::object finalPartitions(const py::module_& m, py::object self) {
  self.attr("mergeNeighbours")();
  py::list means;
  self.attr("means") = means;
  py::object intensity = self.attr("CH1mBGND1");
  for (py::handle p : py::object(self.attr("partitions"))) {
    auto partition = py::reinterpret_borrow<py::object>(p);
    means.append(m.attr("np").attr("mean")(
        positionalSlice(intensity, partition[py::int_(0)], partition[py::int_(1)])));
  }
  return self.attr("partitions");
}

// Change points inside the transition stretches of the last fit (the gaps between its partitions
// as they are now, the frames of every candidate pair, and the first and last window of the
// trace), stored as changePoints and idealPath.
void refineTransitions(py::object self) {
  py::object intensity = self.attr("CH1mBGND1");
  const std::vector<double> samples = toDoubles(intensity);
  const auto parts = plainPartitions(self.attr("partitions"));
  if (!parts) throw py::type_error("partitions must be a list of [start, end, ...] integer lists");
  // The variance stream is 2 * halfWinLen shorter than the trace.
  const auto half = static_cast<std::ptrdiff_t>(samples.size() - py::len(self.attr("dataVar"))) / 2;
  const auto frames = static_cast<std::ptrdiff_t>(samples.size());
  // Within one window of either end the variance stream sees a transition only in part.
  const std::ptrdiff_t window = std::min(2 * half + 1, frames);
  std::vector<lumetra::Stretch> stretches = {{0, window}, {frames - window, frames}};
  for (const lumetra::Partition& pair : toPartitions(self.attr("pairs"))) {
    const std::ptrdiff_t start = std::clamp<std::ptrdiff_t>(pair.start + half, 0, frames);
    const std::ptrdiff_t end = std::clamp<std::ptrdiff_t>(pair.end + half, start, frames);
    stretches.push_back({start, end});
  }
  const lumetra::RefinedPath refined = lumetra::refineTransitions(samples, *parts, stretches);
  py::list changePoints;
  for (std::ptrdiff_t frame : refined.changePoints) changePoints.append(py::int_(frame));
  self.attr("changePoints") = changePoints;
  self.attr("idealPath") = py::array_t<double>(static_cast<py::ssize_t>(refined.idealPath.size()),
                                               refined.idealPath.data());
}

}  // namespace lumetra::bindings::trace
