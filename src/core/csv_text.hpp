// Numeric columns as CSV text, character for character as pandas' DataFrame.to_csv writes
// them: a float64 as numpy's str of it (the shortest digits that read back exactly, written
// positionally from 1e-4 up to below 1e16 and in scientific notation outside), NaN as an
// empty field, integers in decimal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>

namespace lumetra {

// The values of one column; every column of a table has the same length.
using CsvColumn = std::variant<std::span<const double>, std::span<const std::int64_t>,
                               std::span<const std::int32_t>, std::span<const std::int8_t>>;

// Appends numpy's str(numpy.float64(value)): '1.0', '-0.0', '0.0001', '1e-05', '1.5e+16',
// 'inf', '-inf'; nothing for NaN.
void appendFloat(std::string& out, double value);

// Appends rows [begin, end) of the columns, fields joined by ',', each row ended by '\n'. A
// table of one column writes an empty field as '""', as Python's csv module does, so that
// the row does not read as blank. Requires end <= the length of every column.
void appendCsvRows(std::string& out, std::span<const CsvColumn> columns, std::size_t begin,
                   std::size_t end);

}  // namespace lumetra
