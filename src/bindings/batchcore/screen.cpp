#include "screen.hpp"

#include <pybind11/stl.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <tuple>

#include "arrays.hpp"
#include "screening.hpp"

namespace py = pybind11;

namespace lumetra::bindings::batch {

namespace {

// The settings' keywords with the core's defaults, in the order of ScreenSettings' fields,
// which is the order the functions below take them in.
std::array<py::arg_v, 6> settingArguments() {
  const ScreenSettings d;
  return {py::arg("dark_fraction") = d.darkFraction, py::arg("outlier_spread") = d.outlierSpread,
          py::arg("step_fraction") = d.stepFraction, py::arg("step_penalty") = d.stepPenalty,
          py::arg("e_lowest") = d.eLowest,           py::arg("e_highest") = d.eHighest};
}

void addEfficiency(py::dict& out, const EfficiencySpread& e) {
  out["e_median"] = e.median;
  out["e_low"] = e.low;
  out["e_high"] = e.high;
  out["e_noise"] = e.noise;
  out["e_spread"] = e.spread;
}

py::dict screenTraceDict(const Doubles& donor, const Doubles& acceptor,
                         const std::optional<Doubles>& acceptorDirect, double darkFraction,
                         double outlierSpread, double stepFraction, double stepPenalty,
                         double eLowest, double eHighest) {
  const ScreenSettings settings{darkFraction, outlierSpread, stepFraction,
                                stepPenalty,  eLowest,       eHighest};
  const auto d = view(donor), a = view(acceptor);
  const auto aa = acceptorDirect ? view(*acceptorDirect) : std::span<const double>{};
  TraceScreen s;
  {
    py::gil_scoped_release release;
    s = screenTrace(d, a, aa, settings);
  }
  py::dict out;
  out["mask"] = toArray(s.mask);
  out["frames"] = s.frames;
  out["dark_frames"] = s.darkFrames;
  out["bleached_frames"] = s.bleachedFrames;
  out["outlier_frames"] = s.outlierFrames;
  out["masked_frames"] = s.maskedFrames;
  out["snr_donor"] = s.snrDonor;
  out["snr_acceptor"] = s.snrAcceptor;
  out["snr_total"] = s.snrTotal;
  out["snr_direct"] = s.snrDirect;
  out["anticorrelation"] = s.anticorrelation;
  out["intensity"] = s.intensity;
  out["direct_intensity"] = s.directIntensity;
  addEfficiency(out, s.efficiency);
  out["donor_steps"] = s.donorSteps;
  out["acceptor_steps"] = s.acceptorSteps;
  out["partial_bleaches"] = s.partialBleaches;
  return out;
}

py::dict screenSignalDict(const Doubles& values, double darkFraction, double outlierSpread,
                          double stepFraction, double stepPenalty, double eLowest,
                          double eHighest) {
  const ScreenSettings settings{darkFraction, outlierSpread, stepFraction,
                                stepPenalty,  eLowest,       eHighest};
  const auto x = view(values);
  SignalScreen s;
  {
    py::gil_scoped_release release;
    s = screenSignal(x, settings);
  }
  py::dict out;
  out["mask"] = toArray(s.mask);
  out["frames"] = s.frames;
  out["outlier_frames"] = s.outlierFrames;
  out["snr"] = s.snr;
  out["noise"] = s.noise;
  out["intensity"] = s.intensity;
  out["steps"] = s.steps;
  addEfficiency(out, EfficiencySpread{});
  return out;
}

}  // namespace

void addScreening(py::module_& m) {
  const auto settings = settingArguments();
  py::dict defaults;
  for (const py::arg_v& setting : settings) defaults[setting.name] = setting.value;
  m.attr("SCREEN_DEFAULTS") = defaults;

  std::apply(
      [&](const auto&... keywords) {
        m.def("screen_trace", &screenTraceDict, py::arg("donor"), py::arg("acceptor"),
              py::arg("acceptor_direct") = py::none(), py::kw_only(), keywords...,
              "Screens a two-colour trace (acceptor_direct: the acceptor under acceptor "
              "excitation, if recorded): a dict with mask (uint8 per frame: 1 dark, 2 bleached, "
              "4 outlier), the frame counts, signal to noise of each channel, anticorrelation, "
              "median intensities, E's median, 5th and 95th percentiles, noise and spread, and "
              "the downward steps of the donor and the acceptor.");
        m.def("screen_signal", &screenSignalDict, py::arg("values"), py::kw_only(), keywords...,
              "Screens a single-channel intensity: mask (4 for spikes; no frame is dark or "
              "bleached), frames, outlier_frames, snr, noise, intensity, steps; the e_ keys are "
              "NaN.");
      },
      settings);
}

}  // namespace lumetra::bindings::batch
