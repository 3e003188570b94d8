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

}  // namespace lumetra::bindings
