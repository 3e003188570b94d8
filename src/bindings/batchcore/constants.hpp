// The numbers and names that Python code shares with the compiled modules: the rejected score,
// the search's criteria, parameters and defaults, and the attributes a fit writes.
#pragma once

#include <pybind11/pybind11.h>

namespace lumetra::bindings::batch {

void addConstants(pybind11::module_& m);

}  // namespace lumetra::bindings::batch
