#include "hmm_arrays.hpp"

#include <cstdint>
#include <stdexcept>
#include <utility>

namespace lumetra::bindings {

namespace {

std::vector<double> values(const py::dict& model, const char* key, std::size_t size) {
  if (!model.contains(key)) throw std::invalid_argument(std::string("model without ") + key);
  const auto array = py::cast<Doubles>(model[key]);
  if (static_cast<std::size_t>(array.size()) != size) {
    throw std::invalid_argument(std::string("model: ") + key + " has the wrong size");
  }
  return {array.data(), array.data() + array.size()};
}

}  // namespace

TraceArrays::TraceArrays(std::vector<Doubles> given) : arrays(std::move(given)) {
  spans.reserve(arrays.size());
  for (const Doubles& a : arrays) spans.push_back(view(a));
}

HmmModel toModel(const py::dict& model) {
  if (!model.contains("means")) throw std::invalid_argument("model without means");
  const std::size_t k = static_cast<std::size_t>(py::cast<Doubles>(model["means"]).size());
  HmmModel m;
  m.means = values(model, "means", k);
  m.spreads = values(model, "spreads", k);
  m.start = values(model, "start", k);
  m.transition = values(model, "transition", k * k);
  if (model.contains("trace_scales")) {
    const auto scales = py::cast<Doubles>(model["trace_scales"]);
    m.traceScales.assign(scales.data(), scales.data() + scales.size());
  }
  if (model.contains("state_levels")) {
    const auto levels = py::cast<Integers>(model["state_levels"]);
    for (py::ssize_t s = 0; s < levels.size(); ++s) {
      if (levels.data()[s] < 0) throw std::invalid_argument("model: a state level is negative");
      m.levelOf.push_back(static_cast<std::size_t>(levels.data()[s]));
    }
  }
  if (model.contains("rates")) {
    const auto rates = py::cast<Doubles>(model["rates"]);
    m.rates.assign(rates.data(), rates.data() + rates.size());
  }
  if (model.contains("outlier_share")) m.outlierShare = py::cast<double>(model["outlier_share"]);
  if (model.contains("outlier_density")) {
    m.outlierDensity = py::cast<double>(model["outlier_density"]);
  }
  return m;
}

py::array_t<double> squareArray(const std::vector<double>& v, std::size_t k) {
  const auto n = static_cast<py::ssize_t>(k);
  py::array_t<double> out({n, n});
  std::copy(v.begin(), v.end(), out.mutable_data());
  return out;
}

py::dict modelDict(const HmmModel& model) {
  py::dict d;
  d["means"] = toArray(model.means);
  d["spreads"] = toArray(model.spreads);
  d["start"] = toArray(model.start);
  d["transition"] = squareArray(model.transition, model.states());
  d["trace_scales"] = toArray(model.traceScales);
  d["outlier_share"] = model.outlierShare;
  d["outlier_density"] = model.outlierDensity;
  d["state_levels"] = pathArray(model.levelOf);
  d["rates"] =
      model.rates.empty() ? toArray(model.rates) : squareArray(model.rates, model.states());
  return d;
}

std::vector<std::uint8_t> toFreeRates(const py::object& freeRates) {
  if (freeRates.is_none()) return {};
  const auto mask = py::cast<Integers>(freeRates);
  if (mask.ndim() != 2 || mask.shape(0) != mask.shape(1)) {
    throw std::invalid_argument("free_rates must be a square matrix");
  }
  std::vector<std::uint8_t> out(static_cast<std::size_t>(mask.size()));
  for (py::ssize_t i = 0; i < mask.size(); ++i)
    out[static_cast<std::size_t>(i)] = mask.data()[i] != 0;
  return out;
}

std::vector<std::vector<std::size_t>> toPaths(const std::vector<Integers>& paths) {
  std::vector<std::vector<std::size_t>> out;
  out.reserve(paths.size());
  for (const Integers& p : paths) {
    if (p.ndim() != 1) throw std::invalid_argument("expected one-dimensional state arrays");
    auto& path = out.emplace_back(static_cast<std::size_t>(p.size()));
    for (py::ssize_t t = 0; t < p.size(); ++t) {
      const std::int64_t s = p.data()[t];
      if (s < 0) throw std::invalid_argument("a state number is negative");
      path[static_cast<std::size_t>(t)] = static_cast<std::size_t>(s);
    }
  }
  return out;
}

py::array_t<std::int64_t> pathArray(const std::vector<std::size_t>& path) {
  py::array_t<std::int64_t> a(static_cast<py::ssize_t>(path.size()));
  auto* data = a.mutable_data();
  for (std::size_t t = 0; t < path.size(); ++t) data[t] = static_cast<std::int64_t>(path[t]);
  return a;
}

py::list pathList(const std::vector<std::vector<std::size_t>>& paths) {
  py::list out;
  for (const auto& path : paths) out.append(pathArray(path));
  return out;
}

}  // namespace lumetra::bindings
