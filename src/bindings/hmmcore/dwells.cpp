#include "dwells.hpp"

#include <span>
#include <stdexcept>
#include <vector>

#include "dwell_check.hpp"

namespace lumetra::bindings {

namespace {

std::span<const std::int64_t> integers(const Integers& a) {
  if (a.ndim() != 1) throw std::invalid_argument("expected a one-dimensional array");
  return {a.data(), static_cast<std::size_t>(a.size())};
}

}  // namespace

py::dict levelRuns(const Integers& levels) {
  const auto runs = levelDwells(integers(levels));
  std::vector<std::int64_t> level, frames;
  py::array_t<bool> censored(static_cast<py::ssize_t>(runs.size()));
  bool* flags = censored.mutable_data();
  for (const LevelRun& run : runs) {
    level.push_back(run.level);
    frames.push_back(static_cast<std::int64_t>(run.frames));
    *flags++ = run.censored;
  }
  py::dict out;
  out["level"] = toArray(level);
  out["frames"] = toArray(frames);
  out["censored"] = censored;
  return out;
}

py::array_t<double> levelCdf(const Doubles& rates, const Integers& stateLevels, std::int64_t level,
                             double frameTime, std::size_t maxFrames) {
  if (rates.ndim() != 2 || rates.shape(0) != rates.shape(1)) {
    throw std::invalid_argument("rates: expected a square matrix");
  }
  const std::span<const double> q{rates.data(), static_cast<std::size_t>(rates.size())};
  return toArray(levelDwellCdf(q, integers(stateLevels), level, frameTime, maxFrames));
}

double dwellDistance(const Integers& dwells, const Doubles& cdf) {
  return cramerVonMises(integers(dwells), view(cdf));
}

py::dict mixtures(const Integers& dwells, std::size_t maxComponents) {
  const GeometricMixtures found = fitGeometricMixtures(integers(dwells), maxComponents);
  py::list fits;
  for (const GeometricMixture& fit : found.fits) {
    py::dict d;
    d["weights"] = toArray(fit.weights);
    d["means"] = toArray(fit.meanFrames);
    d["log_likelihood"] = fit.logLikelihood;
    d["bic"] = fit.bic;
    d["iterations"] = fit.iterations;
    fits.append(d);
  }
  py::dict out;
  out["fits"] = fits;
  out["chosen"] = found.chosen;
  return out;
}

py::array_t<double> mixtureCdf(const Doubles& weights, const Doubles& means,
                               std::size_t maxFrames) {
  return toArray(geometricMixtureCdf(view(weights), view(means), maxFrames));
}

}  // namespace lumetra::bindings
