// lumetra.traceio: the numeric work behind lumetra.io, on numpy arrays: photobleaching.
#include "module.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <optional>
#include <span>
#include <stdexcept>

#include "arrays.hpp"
#include "photobleach.hpp"

namespace py = pybind11;
using lumetra::bindings::Doubles;
using lumetra::bindings::view;

namespace {

lumetra::BleachSettings settings(double background, std::size_t minBleachedFrames,
                                 double maxResidual, double minScore) {
  return {background, minBleachedFrames, maxResidual, minScore};
}

py::object frameOrNone(const std::optional<std::size_t>& frame) {
  return frame ? py::object(py::int_(*frame)) : py::object(py::none());
}

py::dict stepDict(const lumetra::BleachStep& s) {
  py::dict d;
  d["frame"] = frameOrNone(s.frame);
  d["score"] = s.score;
  d["level_before"] = s.levelBefore;
  d["level_after"] = s.levelAfter;
  d["noise"] = s.noise;
  return d;
}

const char* dyeName(lumetra::BleachedDye dye) {
  switch (dye) {
    case lumetra::BleachedDye::donor:
      return "donor";
    case lumetra::BleachedDye::acceptor:
      return "acceptor";
    case lumetra::BleachedDye::none:
      break;
  }
  return nullptr;
}

}  // namespace

LUMETRA_MODULE(traceio, m) {
  m.doc() = "Photobleaching detection on the channels of a trace.";
  const lumetra::BleachSettings defaults;

  m.def(
      "bleach_step",
      [](const Doubles& signal, double background, std::size_t minBleachedFrames,
         double maxResidual, double minScore) {
        const auto values = view(signal);
        const auto s = settings(background, minBleachedFrames, maxResidual, minScore);
        lumetra::BleachStep step;
        {
          py::gil_scoped_release release;
          step = lumetra::detectBleachStep(values, s);
        }
        return stepDict(step);
      },
      py::arg("signal"), py::arg("background") = defaults.background,
      py::arg("min_bleached_frames") = defaults.minBleachedFrames,
      py::arg("max_residual") = defaults.maxResidual, py::arg("min_score") = defaults.minScore,
      "The step of `signal` to `background` that lasts to its end: a dict with frame (the "
      "first bleached frame, or None), score, level_before, level_after and noise.");

  m.def(
      "first_bleach",
      [](const Doubles& donor, const Doubles& acceptor, std::optional<Doubles> acceptorDirect,
         double totalBackground, double directBackground, std::size_t minBleachedFrames,
         double maxResidual, double minScore) {
        const auto d = view(donor);
        const auto a = view(acceptor);
        const auto aa = acceptorDirect ? view(*acceptorDirect) : std::span<const double>{};
        const auto total = settings(totalBackground, minBleachedFrames, maxResidual, minScore);
        const auto direct = settings(directBackground, minBleachedFrames, maxResidual, minScore);
        lumetra::FirstBleach first;
        {
          py::gil_scoped_release release;
          first = lumetra::firstBleach(d, a, aa, total, direct);
        }
        py::dict out;
        const char* dye = dyeName(first.dye);
        out["dye"] = dye ? py::object(py::str(dye)) : py::object(py::none());
        out["frame"] = frameOrNone(first.frame);
        out["total"] = stepDict(first.total);
        out["direct"] = acceptorDirect ? py::object(stepDict(first.direct)) : py::none();
        return out;
      },
      py::arg("donor"), py::arg("acceptor"), py::arg("acceptor_direct") = py::none(),
      py::arg("total_background") = defaults.background,
      py::arg("direct_background") = defaults.background,
      py::arg("min_bleached_frames") = defaults.minBleachedFrames,
      py::arg("max_residual") = defaults.maxResidual, py::arg("min_score") = defaults.minScore,
      "The first bleaching of either dye: the drop of donor + acceptor to total_background "
      "(the donor) or of acceptor_direct to direct_background (the acceptor), whichever comes "
      "first. A dict with dye ('donor', 'acceptor' or None), frame (first bleached frame or "
      "None), and the steps of the total and the direct channel (bleach_step's dicts).");
}
