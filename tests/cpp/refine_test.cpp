#include "refine.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "random.hpp"

namespace lumetra {
namespace {

using Parts = std::vector<Partition>;
using Stretches = std::vector<Stretch>;
using Changes = std::vector<std::ptrdiff_t>;

// An ideal path with Gaussian noise of standard deviation `sigma`.
std::vector<double> noisy(const std::vector<double>& ideal, double sigma, std::uint64_t seed) {
  Random random(seed);
  std::vector<double> y = ideal;
  for (std::size_t i = 0; i < y.size(); i += 2) {
    double z0 = 0;
    double z1 = 0;
    random.normalPair(z0, z1);
    y[i] += sigma * z0;
    if (i + 1 < y.size()) y[i + 1] += sigma * z1;
  }
  return y;
}

// Levels held for the given numbers of frames.
std::vector<double> path(std::initializer_list<std::pair<double, std::size_t>> runs) {
  std::vector<double> out;
  for (const auto& [level, frames] : runs) out.insert(out.end(), frames, level);
  return out;
}

TEST(RefineTransitions, OneStepSitsAtItsLeastSquaresPointAndLevelsArePooled) {
  const std::vector<double> y = noisy(path({{0, 60}, {4, 23}, {0, 57}}), 1, 1);
  const RefinedPath r =
      refineTransitions(y, Parts{{0, 52, 0}, {70, 75, 1}, {92, 140, 2}}, Stretches{});
  EXPECT_EQ(r.changePoints, (Changes{60, 83}));
  ASSERT_EQ(r.levels.size(), 2u);
  EXPECT_NEAR(r.levels[0], 0, 0.3);
  EXPECT_NEAR(r.levels[1], 4, 0.5);
  // Both dwells at 0 share one level.
  EXPECT_EQ(r.idealPath[0], r.idealPath[139]);
  EXPECT_EQ(r.idealPath.size(), y.size());
}

TEST(RefineTransitions, InsideAPartitionAStretchMayHoldAnExcursionOrAStep) {
  // The stretch [40, 70) holds a visit to 4 from frame 50 to 58; [100, 130) holds only noise.
  const std::vector<double> y = noisy(path({{0, 50}, {4, 8}, {0, 102}}), 1, 2);
  const RefinedPath r = refineTransitions(y, Parts{{0, 160, 0}}, Stretches{{40, 70}, {100, 130}});
  EXPECT_EQ(r.changePoints, (Changes{50, 58}));
  EXPECT_EQ(r.levels.size(), 2u);
  EXPECT_GT(r.idealPath[54], r.idealPath[10] + 3);
  EXPECT_EQ(r.idealPath[10], r.idealPath[159]);
  // A step that the fit's tests turned down, in a stretch of a partition that spans it.
  const std::vector<double> step = noisy(path({{0, 80}, {4, 80}}), 1, 5);
  EXPECT_EQ(refineTransitions(step, Parts{{0, 160, 0}}, Stretches{{70, 95}}).changePoints,
            (Changes{80}));
}

TEST(RefineTransitions, AGapMayHoldTwoStepsThroughALevelOfItsOwn) {
  // 0 -> 8 -> 4: the short middle visit lies inside the gap between the two partitions.
  const std::vector<double> y = noisy(path({{0, 60}, {8, 6}, {4, 60}}), 1, 3);
  const RefinedPath r = refineTransitions(y, Parts{{0, 52, 0}, {74, 126, 1}}, Stretches{});
  EXPECT_EQ(r.changePoints, (Changes{60, 66}));
  EXPECT_EQ(r.levels.size(), 3u);
  // Without the middle visit the gap keeps one step.
  const std::vector<double> plain = noisy(path({{0, 63}, {4, 63}}), 1, 4);
  EXPECT_EQ(refineTransitions(plain, Parts{{0, 52, 0}, {74, 126, 1}}, Stretches{}).changePoints,
            (Changes{63}));
}

TEST(RefineTransitions, RefusesMalformedInput) {
  const std::vector<double> y(50, 1.0);
  EXPECT_THROW(refineTransitions(y, Parts{{0, 60, 0}}, Stretches{}), std::invalid_argument);
  EXPECT_THROW(refineTransitions(y, Parts{{0, 50, 0}}, Stretches{{40, 60}}), std::invalid_argument);
  // A flat trace stays one level.
  const RefinedPath flat = refineTransitions(y, Parts{{0, 50, 0}}, Stretches{{10, 20}});
  EXPECT_TRUE(flat.changePoints.empty());
  EXPECT_EQ(flat.levels, std::vector<double>{1.0});
}

TEST(RefineTransitions, AFitWithoutAFramedPartitionStartsFromOneSegment) {
  // No partition (nothing accepted), or one of NaN frames only: the stretches still find a step.
  std::vector<double> y(40, 1.0);
  std::fill(y.begin() + 20, y.end(), 5.0);
  for (const Parts& parts : {Parts{}, Parts{{0, 2, 0}}}) {
    std::vector<double> trace = y;
    trace[0] = trace[1] = std::nan("");
    const RefinedPath path = refineTransitions(trace, parts, Stretches{{10, 30}});
    EXPECT_EQ(path.changePoints, (Changes{20}));
    ASSERT_EQ(path.levels.size(), 2U);
    EXPECT_NEAR(path.levels[0], 1.0, 1e-12);
    EXPECT_NEAR(path.levels[1], 5.0, 1e-12);
  }
  const RefinedPath none = refineTransitions(std::vector<double>(5, std::nan("")), Parts{}, {});
  EXPECT_TRUE(none.changePoints.empty() && none.levels.empty());
  EXPECT_TRUE(std::all_of(none.idealPath.begin(), none.idealPath.end(),
                          [](double v) { return std::isnan(v); }));
}

}  // namespace
}  // namespace lumetra
