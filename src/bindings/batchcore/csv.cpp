#include "csv.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "csv_text.hpp"

namespace py = pybind11;

namespace lumetra::bindings::batch {

namespace {

// Rows formatted and handed to Python at a time, so that a long table is never held as text.
constexpr std::size_t kRowsPerBlock = std::size_t{1} << 16;

template <typename T>
bool addIfOf(const py::array& array, std::vector<py::array>& kept,
             std::vector<CsvColumn>& columns) {
  if (!array.dtype().equal(py::dtype::of<T>())) return false;
  auto contiguous = py::array_t<T, py::array::c_style>::ensure(array);
  columns.emplace_back(std::span<const T>(contiguous.data(), contiguous.size()));
  kept.push_back(std::move(contiguous));
  return true;
}

void writeCsvRows(const py::list& arrays, const py::function& write) {
  std::vector<py::array> kept;
  std::vector<CsvColumn> columns;
  std::size_t rows = 0;
  for (const auto& item : arrays) {
    const auto array = py::array::ensure(item);
    if (!array || array.ndim() != 1) {
      throw std::invalid_argument("every column must be a one-dimensional array");
    }
    if (!columns.empty() && static_cast<std::size_t>(array.size()) != rows) {
      throw std::invalid_argument("every column must have the same length");
    }
    rows = static_cast<std::size_t>(array.size());
    if (!addIfOf<double>(array, kept, columns) && !addIfOf<std::int64_t>(array, kept, columns) &&
        !addIfOf<std::int32_t>(array, kept, columns) &&
        !addIfOf<std::int8_t>(array, kept, columns)) {
      throw std::invalid_argument("columns must be of float64, int64, int32 or int8");
    }
  }
  std::string block;
  for (std::size_t begin = 0; begin < rows; begin += kRowsPerBlock) {
    const std::size_t end = std::min(rows, begin + kRowsPerBlock);
    block.clear();
    {
      py::gil_scoped_release release;
      appendCsvRows(block, columns, begin, end);
    }
    write(py::str(block));
  }
}

}  // namespace

void addCsv(py::module_& m) {
  m.def("write_csv_rows", &writeCsvRows, py::arg("columns"), py::arg("write"),
        "Calls write(text) with the rows of the columns (one-dimensional arrays of float64, "
        "int64, int32 or int8, of one length) as DataFrame.to_csv(index=False, "
        "lineterminator='\\n') writes them, header left out, 65536 rows at a time.");
}

}  // namespace lumetra::bindings::batch
