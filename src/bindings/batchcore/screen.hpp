// Screening of traces for batches: the frame mask and per-trace metrics of lumetra's core.
#pragma once

#include <pybind11/pybind11.h>

namespace lumetra::bindings::batch {

// screen_trace, screen_signal and SCREEN_DEFAULTS (their keywords' defaults, from the core).
void addScreening(pybind11::module_& m);

}  // namespace lumetra::bindings::batch
