// What the native `nonstationarity` module offers other extension modules through its
// `_C_API` capsule: a way to recognise its own instances and reach their C++ state, so a
// whole stream can be computed in one call instead of one Python call per window.
#pragma once

#include <Python.h>

namespace lumetra {
class NonStationary;
}

namespace lumetra::bindings {

inline constexpr const char* kNonStationaryCapsule = "nonstationarity._C_API";

struct NonStationaryApi {
  PyTypeObject* type;     // the exact type of native instances
  PyObject* nsFuncRange;  // the class's own nsFuncRange, to notice a replaced method
  // The C++ state of a native instance (the caller has checked the type).
  const lumetra::NonStationary* (*state)(PyObject* instance);
};

// The native module's API, or nullptr (with no error set) when it cannot be had: callers then
// treat every component as a stand-in and go window by window.
inline const NonStationaryApi* importNonStationaryApi() {
  auto* api = static_cast<const NonStationaryApi*>(PyCapsule_Import(kNonStationaryCapsule, 0));
  if (api == nullptr) PyErr_Clear();
  return api;
}

// Whether `cls` is the native class with its own nsFuncRange still in place.
inline bool isNativeClass(const NonStationaryApi* api, PyObject* cls) {
  return api != nullptr && cls == reinterpret_cast<PyObject*>(api->type) &&
         PyDict_GetItemString(api->type->tp_dict, "nsFuncRange") == api->nsFuncRange;
}

}  // namespace lumetra::bindings
