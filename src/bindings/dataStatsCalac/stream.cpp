// streamNS: one value of the nonstationarity component per window position.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "convert.hpp"
#include "functions.hpp"
#include "nonstationarity.hpp"
#include "nonstationarity_api.hpp"
#include "python.hpp"

namespace lumetra::bindings::stats {

namespace {

constexpr std::array<std::string_view, 4> kNsAlgos = {"NSLocaltoGlobal", "NSLefttoRight",
                                                      "NSdichotomy", "NSCircleLefttoRight"};

const NonStationaryApi* nativeApi = nullptr;

// The native component's C++ state when `nsm` is one of its own instances with its own
// nsFuncRange; otherwise every window has to go through Python.
const lumetra::NonStationary* nativeState(py::handle nsm) {
  if (!isNativeClass(nativeApi, reinterpret_cast<PyObject*>(Py_TYPE(nsm.ptr())))) {
    return nullptr;
  }
  return nativeApi->state(nsm.ptr());
}

}  // namespace

void loadNativeApi() { nativeApi = importNonStationaryApi(); }

bool nativeComponent(py::handle module) {
  py::object cls = module.attr("ns").attr("NonStationary");
  return isNativeClass(nativeApi, cls.ptr());
}

py::list streamNS(const Route& route, py::object stream, py::object windowsLen, py::object nsAlgo) {
  if (assertionsEnabled()) {
    bool known = false;
    for (std::string_view name : kNsAlgos) {
      known = known || py::str(name.data(), name.size()).equal(nsAlgo);
    }
    if (!known) failAssertion();
  }
  py::object nsm = route.module().attr("ns").attr("NonStationary")();
  nsm.attr("setupDS")(windowsLen);
  nsm.attr("data") = stream.attr("tolist")();
  const auto xSize = static_cast<Py_ssize_t>(py::len(stream));
  // Any window longer than the trace has no position, however long it is.
  const Py_ssize_t width = clippedIndex(windowsLen);
  Py_ssize_t n = 0;
  if (__builtin_sub_overflow(xSize, width, &n) || n == PY_SSIZE_T_MAX) {
    failOverflow("a window length of " + std::to_string(width) +
                 " gives more window positions than a list can hold");
  }
  n = std::max<Py_ssize_t>(n + 1, 0);

  auto fast = [&]() -> std::optional<py::list> {
    const lumetra::NonStationary* state = nativeState(nsm);
    if (state == nullptr || !py::isinstance<py::str>(nsAlgo)) return std::nullopt;
    const auto name = nsAlgo.cast<std::string_view>();
    // An unknown name goes the slow way, where the component raises its own error.
    if (std::find(kNsAlgos.begin(), kNsAlgos.end(), name) == kNsAlgos.end()) return std::nullopt;
    std::vector<double> out(static_cast<std::size_t>(n));
    {
      // The instance is local to this call, so nothing else can touch its data.
      py::gil_scoped_release release;
      state->stream(lumetra::parseNsAlgo(name), width, out);
    }
    return floatList(out);
  };
  auto formula = [&] {
    py::list rl(n);
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(rl.ptr(), i, py::int_(0).release().ptr());
    py::object nsFuncRange = nsm.attr("nsFuncRange");
    for (Py_ssize_t i = 0; i < n; ++i) rl[i] = nsFuncRange(nsAlgo, i, i + width);
    return rl;
  };
  return dispatch(route, fast, formula);
}

}  // namespace lumetra::bindings::stats
