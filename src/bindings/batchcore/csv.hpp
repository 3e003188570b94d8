// Numeric tables as CSV text for lumetra.atomic.write_csv.
#pragma once

#include <pybind11/pybind11.h>

namespace lumetra::bindings::batch {

// write_csv_rows: columns of float64, int64, int32 or int8 written as pandas' to_csv writes them.
void addCsv(pybind11::module_& m);

}  // namespace lumetra::bindings::batch
