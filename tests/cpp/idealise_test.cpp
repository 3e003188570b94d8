#include "idealise.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace lumetra {
namespace {

TEST(IdealiseTest, SegmentLevelAndSpreadSkipNaN) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> intensity = {1, 3, nan, 10, 10, 20, 30, nan, nan};
  const std::vector<Partition> parts = {{0, 3, 0}, {3, 5, 1}, {5, 7, 2}, {7, 9, 3}};
  const auto s = summariseSegments(intensity, parts);
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[0].mean, 2);
  EXPECT_EQ(s[0].spread, 1);
  EXPECT_EQ(s[1].mean, 10);
  EXPECT_EQ(s[1].spread, 0);
  EXPECT_EQ(s[2].mean, 25);
  EXPECT_EQ(s[2].spread, 5);
  EXPECT_TRUE(std::isnan(s[3].mean) && std::isnan(s[3].spread));
  EXPECT_EQ(s[2].start, 5);
  EXPECT_EQ(s[2].end, 7);
}

TEST(IdealiseTest, TransitionStretchesSplitAtTheirMiddle) {
  // Gaps of 0, 1, 2 and 3 frames; the earlier level keeps the odd frame.
  const std::vector<Partition> parts = {{0, 2, 0}, {2, 4, 1}, {5, 7, 2}, {9, 11, 3}, {14, 15, 4}};
  const std::vector<std::size_t> expected = {0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 3, 3, 4, 4, 4, 4};
  EXPECT_EQ(frameSegments(17, parts), expected);
  // Frames before the first partition belong to it.
  EXPECT_EQ(frameSegments(4, std::vector<Partition>{{2, 3, 0}}), std::vector<std::size_t>(4, 0));
}

TEST(IdealiseTest, MalformedPartitionsAreRefusedWithTheirPosition) {
  const std::vector<double> intensity(10, 1.0);
  auto message = [&](std::vector<Partition> parts) {
    try {
      summariseSegments(intensity, parts);
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message({{0, 5, 0}, {5, 5, 1}}), "partition 1 [5, 5) is empty");
  EXPECT_EQ(message({{0, 5, 0}, {4, 8, 1}}),
            "partition 1 [4, 8) starts before the previous one ends");
  EXPECT_EQ(message({{0, 11, 0}}), "partition 0 [0, 11) ends after the trace (10 frames)");
  EXPECT_EQ(message({{-1, 3, 0}}), "partition 0 [-1, 3) starts before the previous one ends");
  EXPECT_THROW(frameSegments(10, std::vector<Partition>{}), std::invalid_argument);
}

}  // namespace
}  // namespace lumetra
