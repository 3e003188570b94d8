// nonstationarity: the native component that measures how far one window of a trace is
// from stationary.
#include "module.hpp"

#include <pybind11/pybind11.h>

#include "convert.hpp"
#include "nonstationarity.hpp"
#include "nonstationarity_api.hpp"

namespace py = pybind11;

namespace {

// The Python object: the C++ state plus the very object assigned to `data`.
struct NonStationaryObject {
  lumetra::NonStationary state;
  py::object data = py::list();
};

const lumetra::NonStationary* stateOf(PyObject* instance) {
  return &py::cast<NonStationaryObject&>(py::handle(instance)).state;
}

lumetra::bindings::NonStationaryApi api{};

}  // namespace

PYBIND11_MODULE(nonstationarity, m) {
  m.doc() = "Nonstationarity measures of windows of a trace.";
  py::class_<NonStationaryObject> cls(m, "NonStationary");
  cls.def(py::init<>())
      .def(
          "setupDS",
          [](NonStationaryObject& self, py::handle windowsLen) {
            // Any length beyond the index range is longer than every trace, like the largest.
            self.state.setupDS(lumetra::bindings::clippedIndex(windowsLen));
          },
          py::arg("windowsLen"), "Prepare for windows of the given length.")
      .def_property(
          "data", [](const NonStationaryObject& self) { return self.data; },
          [](NonStationaryObject& self, py::object data) {
            self.state.setData(lumetra::bindings::toDoubles(data));
            self.data = std::move(data);
          },
          "The whole trace, a list of numbers; converted once when assigned.")
      .def(
          "nsFuncRange",
          [](const NonStationaryObject& self, std::string_view nsAlgo, std::ptrdiff_t start,
             std::ptrdiff_t end) {
            return self.state.nsFuncRange(lumetra::parseNsAlgo(nsAlgo), start, end);
          },
          py::arg("nsAlgo"), py::arg("start"), py::arg("end"),
          "Nonstationarity of data[start:end] under the named algorithm.");

  api.type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  // A strong reference, so a replaced method can never share the original's address.
  api.nsFuncRange = py::getattr(cls, "__dict__")["nsFuncRange"].ptr();
  Py_INCREF(api.nsFuncRange);
  api.state = &stateOf;
  m.attr("_C_API") =
      py::capsule(static_cast<void*>(&api), lumetra::bindings::kNonStationaryCapsule);
}
