#include "csv_text.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <variant>

namespace lumetra {

namespace {

// numpy writes |value| in [kPositionalLowest, kPositionalEnd) (and zero) positionally.
constexpr double kPositionalLowest = 1e-4;
constexpr double kPositionalEnd = 1e16;

// The longest shortest-digit scientific form of a double: '-d.dddddddddddddddde-308'.
constexpr std::size_t kFloatChars = 32;

void appendPositional(std::string& out, std::string_view digits, int exponent) {
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
    return;
  }
  const auto whole = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= whole) {
    out += digits;
    out.append(whole - digits.size(), '0');
    out += ".0";
  } else {
    out += digits.substr(0, whole);
    out += '.';
    out += digits.substr(whole);
  }
}

void appendScientific(std::string& out, std::string_view digits, int exponent) {
  out += digits[0];
  if (digits.size() > 1) {
    out += '.';
    out += digits.substr(1);
  }
  out += exponent < 0 ? "e-" : "e+";
  const int magnitude = std::abs(exponent);
  if (magnitude < 10) out += '0';
  out += std::to_string(magnitude);
}

template <typename Integer>
void appendInteger(std::string& out, Integer value) {
  std::array<char, 24> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  out.append(buffer.data(), result.ptr);
}

void appendField(std::string& out, const CsvColumn& column, std::size_t row) {
  std::visit(
      [&](const auto& values) {
        if constexpr (std::is_same_v<decltype(values[row]), const double&>) {
          appendFloat(out, values[row]);
        } else {
          appendInteger(out, values[row]);
        }
      },
      column);
}

}  // namespace

void appendFloat(std::string& out, double value) {
  if (std::isnan(value)) return;
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  // Shortest round-trip digits as 'd.ddde±x'; the layout is then numpy's.
  std::array<char, kFloatChars> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), std::abs(value),
                                    std::chars_format::scientific);
  const std::string_view text(buffer.data(), result.ptr);
  const auto e = text.find('e');
  std::array<char, kFloatChars> digitBuffer{};
  std::size_t count = 0;
  for (const char c : text.substr(0, e)) {
    if (c != '.') digitBuffer[count++] = c;
  }
  const std::string_view digits(digitBuffer.data(), count);
  int exponent = 0;
  const auto exponentText = text.substr(e + 1);
  const auto* first = exponentText.data() + (exponentText.front() == '+' ? 1 : 0);
  std::from_chars(first, exponentText.data() + exponentText.size(), exponent);
  if (std::signbit(value)) out += '-';
  const double magnitude = std::abs(value);
  if (magnitude == 0.0 || (magnitude >= kPositionalLowest && magnitude < kPositionalEnd)) {
    appendPositional(out, digits, exponent);
  } else {
    appendScientific(out, digits, exponent);
  }
}

void appendCsvRows(std::string& out, std::span<const CsvColumn> columns, std::size_t begin,
                   std::size_t end) {
  const bool single = columns.size() == 1;
  for (std::size_t row = begin; row < end; ++row) {
    for (std::size_t c = 0; c < columns.size(); ++c) {
      if (c > 0) out += ',';
      const auto start = out.size();
      appendField(out, columns[c], row);
      if (single && out.size() == start) out += "\"\"";
    }
    out += '\n';
  }
}

}  // namespace lumetra
