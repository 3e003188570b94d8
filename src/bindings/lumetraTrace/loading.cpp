// loadData: a trace file into the trace object, with a guess whether it has several levels.
#include "trace.hpp"

namespace lumetra::bindings::trace {

void loadData(const py::module_& m, py::object self, py::object filename) {
  py::object data = m.attr("pd").attr("read_table")(filename);
  self.attr("frames") = data["Frame/10"];
  py::object intensity = data["CH1-BGND1"];
  self.attr("CH1mBGND1") = intensity;
  self.attr("fileName") = filename;

  // Set either way, so the guess for one trace never carries over to the next one loaded.
  self.attr("stateNum") = stateGuess(m.attr("np"), intensity);
}

py::int_ stateGuess(py::handle np, py::handle intensity) {
  py::object mean = np.attr("mean")(intensity);
  py::object max = np.attr("max")(intensity);
  py::object min = np.attr("min")(intensity);
  py::object r = (max - mean) / (mean - min);
  const bool multiLevel =
      r > py::int_(3) || r < py::float_(0.33) || (max - min) > py::int_(2) * mean;
  return {multiLevel ? 2 : 1};
}

}  // namespace lumetra::bindings::trace
