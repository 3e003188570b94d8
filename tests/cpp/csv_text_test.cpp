#include "csv_text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace lumetra {
namespace {

std::string floatText(double value) {
  std::string out;
  appendFloat(out, value);
  return out;
}

// Expected strings are numpy's str(numpy.float64(value)).
TEST(AppendFloat, WritesNumpysLayoutOfTheShortestDigits) {
  EXPECT_EQ(floatText(1.0), "1.0");
  EXPECT_EQ(floatText(0.0), "0.0");
  EXPECT_EQ(floatText(-0.0), "-0.0");
  EXPECT_EQ(floatText(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(floatText(-1.0 / 3.0), "-0.3333333333333333");
  EXPECT_EQ(floatText(0.0001), "0.0001");
  EXPECT_EQ(floatText(123.25), "123.25");
  EXPECT_EQ(floatText(1e15), "1000000000000000.0");
  EXPECT_EQ(floatText(9999999999999998.0), "9999999999999998.0");
  EXPECT_EQ(floatText(1e-5), "1e-05");
  EXPECT_EQ(floatText(9.9999999999e-05), "9.9999999999e-05");
  EXPECT_EQ(floatText(1e16), "1e+16");
  EXPECT_EQ(floatText(-1.5e16), "-1.5e+16");
  EXPECT_EQ(floatText(123456789012345678.0), "1.2345678901234568e+17");
  EXPECT_EQ(floatText(1e-300), "1e-300");
  EXPECT_EQ(floatText(5e-324), "5e-324");
  EXPECT_EQ(floatText(std::numeric_limits<double>::max()), "1.7976931348623157e+308");
  EXPECT_EQ(floatText(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(floatText(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(floatText(std::numeric_limits<double>::quiet_NaN()), "");
}

TEST(AppendCsvRows, JoinsMixedColumnsRowByRow) {
  const std::vector<std::int64_t> frame{0, 1, -9223372036854775807 - 1};
  const std::vector<double> level{0.5, std::numeric_limits<double>::quiet_NaN(), 2.0};
  const std::vector<std::int8_t> masked{0, 1, -128};
  const std::vector<std::int32_t> state{2147483647, 0, -3};
  const std::vector<CsvColumn> columns{
      std::span<const std::int64_t>(frame), std::span<const double>(level),
      std::span<const std::int8_t>(masked), std::span<const std::int32_t>(state)};
  std::string all;
  appendCsvRows(all, columns, 0, 3);
  EXPECT_EQ(all, "0,0.5,0,2147483647\n1,,1,0\n-9223372036854775808,2.0,-128,-3\n");
  std::string tail;
  appendCsvRows(tail, columns, 1, 3);
  EXPECT_EQ(all.substr(all.find('\n') + 1), tail);
}

TEST(AppendCsvRows, QuotesTheEmptyFieldOfASingleColumn) {
  const std::vector<double> values{std::numeric_limits<double>::quiet_NaN(), 1.0};
  const std::vector<CsvColumn> columns{std::span<const double>(values)};
  std::string out;
  appendCsvRows(out, columns, 0, 2);
  EXPECT_EQ(out, "\"\"\n1.0\n");
}

}  // namespace
}  // namespace lumetra
