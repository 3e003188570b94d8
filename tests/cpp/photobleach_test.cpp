#include "photobleach.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <vector>

#include "step_signal.hpp"

namespace lumetra {
namespace {

using steptest::steps;

TEST(DetectBleachStepTest, FindsTheKnownBleachFrame) {
  const BleachSettings settings;
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    const std::size_t bleach = 100 + 37 * seed;
    const auto x = steps(1000, {0, bleach}, {1000, 0}, 150, seed);
    const auto step = detectBleachStep(x, settings);
    ASSERT_TRUE(step.frame) << "seed " << seed;
    EXPECT_NEAR(static_cast<double>(*step.frame), static_cast<double>(bleach), 1) << seed;
    EXPECT_NEAR(step.levelBefore, 1000, 30);
    EXPECT_NEAR(step.levelAfter, 0, 30);
    EXPECT_NEAR(step.noise, 150, 20);
  }
}

TEST(DetectBleachStepTest, NoStepBlinkOrPartialDropIsNotBleaching) {
  const BleachSettings settings;
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    // Constant signal, two-level dynamics, a blink that recovers, a drop to 35 %.
    EXPECT_FALSE(detectBleachStep(steps(800, {0}, {1000}, 200, seed), settings).frame);
    EXPECT_FALSE(
        detectBleachStep(steps(800, {0, 200, 500}, {1000, 400, 1000}, 100, seed), settings).frame);
    EXPECT_FALSE(
        detectBleachStep(steps(800, {0, 300, 340}, {1000, 0, 1000}, 100, seed), settings).frame);
    EXPECT_FALSE(detectBleachStep(steps(800, {0, 400}, {1000, 350}, 100, seed), settings).frame);
  }
}

TEST(DetectBleachStepTest, TwoStepsCutWhereTheSignalReachesBackground) {
  // The acceptor bleaches first (total falls to 60 %), the donor at frame 620.
  const auto x = steps(900, {0, 300, 620}, {1000, 600, 0}, 80, 3);
  const auto step = detectBleachStep(x, BleachSettings{});
  ASSERT_TRUE(step.frame);
  EXPECT_NEAR(static_cast<double>(*step.frame), 620, 1);
}

TEST(DetectBleachStepTest, EdgeCases) {
  BleachSettings settings;
  // Noise-free: any drop to background is certain; a constant trace is never bleached.
  const std::vector<double> clean = {5, 5, 5, 5, 0, 0, 0};
  const auto step = detectBleachStep(clean, settings);
  ASSERT_TRUE(step.frame);
  EXPECT_EQ(*step.frame, 4u);
  EXPECT_EQ(step.score, std::numeric_limits<double>::infinity());
  EXPECT_FALSE(detectBleachStep(std::vector<double>(10, 5.0), settings).frame);
  // Too few frames at background at the end, or too short a trace.
  EXPECT_FALSE(detectBleachStep(std::vector<double>{5, 5, 5, 5, 5, 0, 0}, settings).frame);
  EXPECT_FALSE(detectBleachStep(std::vector<double>{5, 0, 0}, settings).frame);
  EXPECT_FALSE(detectBleachStep(std::vector<double>{}, settings).frame);
  // A trace at background throughout has nothing to drop from.
  EXPECT_FALSE(detectBleachStep(std::vector<double>(10, 0.0), settings).frame);
  // The background is the level bleached frames fall to.
  settings.background = 100;
  const auto raised = detectBleachStep(std::vector<double>{900, 900, 900, 100, 100, 100}, settings);
  ASSERT_TRUE(raised.frame);
  EXPECT_EQ(*raised.frame, 3u);
  EXPECT_DOUBLE_EQ(raised.levelAfter, 100);

  EXPECT_THROW(detectBleachStep(std::vector<double>{1, NAN, 0}, BleachSettings{}),
               std::invalid_argument);
  BleachSettings bad;
  bad.maxResidual = 1;
  EXPECT_THROW(detectBleachStep(clean, bad), std::invalid_argument);
  bad = BleachSettings{};
  bad.minBleachedFrames = 0;
  EXPECT_THROW(detectBleachStep(clean, bad), std::invalid_argument);
}

TEST(FirstBleachTest, EarlierOfDonorAndAcceptor) {
  // Donor and acceptor anti-correlated (FRET dynamics); the donor bleaches at 700.
  const std::size_t frames = 1000;
  auto donor = steps(frames, {0, 250, 500, 700}, {300, 700, 300, 0}, 60, 7);
  auto acceptor = steps(frames, {0, 250, 500, 700}, {700, 300, 700, 0}, 60, 8);
  const BleachSettings settings;
  const auto onlyDonor = firstBleach(donor, acceptor, {}, settings, settings);
  EXPECT_EQ(onlyDonor.dye, BleachedDye::donor);
  ASSERT_TRUE(onlyDonor.frame);
  EXPECT_NEAR(static_cast<double>(*onlyDonor.frame), 700, 1);

  // The acceptor-excitation channel shows the acceptor bleaching first, at 420.
  const auto direct = steps(frames, {0, 420}, {800, 0}, 60, 9);
  const auto both = firstBleach(donor, acceptor, direct, settings, settings);
  EXPECT_EQ(both.dye, BleachedDye::acceptor);
  EXPECT_NEAR(static_cast<double>(*both.frame), 420, 1);
  EXPECT_NEAR(static_cast<double>(*both.total.frame), 700, 1);

  const auto bright = steps(frames, {0}, {800}, 60, 10);
  EXPECT_EQ(firstBleach(donor, acceptor, bright, settings, settings).dye, BleachedDye::donor);
  const auto none = firstBleach(steps(frames, {0}, {500}, 60, 11),
                                steps(frames, {0}, {500}, 60, 12), bright, settings, settings);
  EXPECT_EQ(none.dye, BleachedDye::none);
  EXPECT_FALSE(none.frame);

  donor.pop_back();
  EXPECT_THROW(firstBleach(donor, acceptor, {}, settings, settings), std::invalid_argument);
}

}  // namespace
}  // namespace lumetra
