// The native search of the step fit's parameters for batches.
#pragma once

#include <pybind11/pybind11.h>

namespace lumetra::bindings::batch {

void addSearch(pybind11::module_& m);

}  // namespace lumetra::bindings::batch
