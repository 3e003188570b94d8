#include "screening.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "step_signal.hpp"

namespace lumetra {
namespace {

using steptest::steps;

std::vector<std::size_t> framesFlagged(const std::vector<std::uint8_t>& mask, std::uint8_t flag) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < mask.size(); ++i) {
    if (mask[i] == flag) out.push_back(i);
  }
  return out;
}

const ScreenSettings kDefaults;
const std::vector<std::size_t> kNone;

TEST(ScreenTraceTest, BlinksOfEitherDyeAreDark) {
  // Both dyes dark on frames 200-204 (a donor blink); with alternating excitation, the
  // acceptor dark on frames 300-303 (A and AA drop, the donor rises a little).
  const auto d = steps(500, {0, 200, 205, 300, 304}, {600, 0, 600, 800, 600}, 30, 1);
  const auto a = steps(500, {0, 200, 205, 300, 304}, {400, 0, 400, 0, 400}, 30, 2);
  const auto aa = steps(500, {0, 300, 304}, {900, 0, 900}, 30, 3);

  const auto donorOnly = screenTrace(d, a, {}, kDefaults);
  EXPECT_EQ(framesFlagged(donorOnly.mask, kDarkFrame),
            (std::vector<std::size_t>{200, 201, 202, 203, 204}));
  EXPECT_EQ(donorOnly.bleachedFrames, 0u);

  const auto both = screenTrace(d, a, aa, kDefaults);
  EXPECT_EQ(framesFlagged(both.mask, kDarkFrame),
            (std::vector<std::size_t>{200, 201, 202, 203, 204, 300, 301, 302, 303}));
  EXPECT_EQ(both.darkFrames, 9u);
  EXPECT_EQ(both.maskedFrames, both.darkFrames + both.outlierFrames);
  EXPECT_NEAR(both.efficiency.median, 0.4, 0.01);
  EXPECT_NEAR(both.directIntensity, 900, 10);
}

TEST(ScreenTraceTest, FramesFromTheBleachingStepOnAreMasked) {
  // The donor bleaches at frame 700; frame 699 keeps 70 % of the signal (bleached late in the
  // frame), closer to the level before than to background.
  auto d = steps(1000, {0, 700}, {600, 0}, 30, 4);
  auto a = steps(1000, {0, 700}, {400, 0}, 30, 5);
  d[699] -= 180;
  a[699] -= 120;
  const auto donor = screenTrace(d, a, {}, kDefaults);
  const auto bleached = framesFlagged(donor.mask, kBleachedFrame);
  ASSERT_FALSE(bleached.empty());
  EXPECT_EQ(bleached.front(), 699u);
  EXPECT_EQ(donor.bleachedFrames, 301u);
  EXPECT_EQ(donor.mask[698], 0);
  EXPECT_EQ(donor.donorSteps, 1u);

  // The acceptor bleaches first (AA to 0 at frame 450): the frames after it are no FRET.
  const auto aa = steps(1000, {0, 450}, {900, 0}, 30, 6);
  const auto acceptor = screenTrace(d, a, aa, kDefaults);
  EXPECT_EQ(framesFlagged(acceptor.mask, kBleachedFrame).front(), 450u);
  EXPECT_EQ(acceptor.bleachedFrames, 550u);
  EXPECT_EQ(acceptor.acceptorSteps, 1u);
}

TEST(ScreenTraceTest, IsolatedSpikeIsAnOutlierTransitionFrameIsNot) {
  // E 0.2 until frame 250, 0.8 from frame 251, frame 250 halfway (the change within the frame);
  // frame 100 a one-frame spike to E = 1.2, frame 400 at E = -0.625.
  auto d = steps(500, {0, 250, 251}, {800, 500, 200}, 15, 7);
  auto a = steps(500, {0, 250, 251}, {200, 500, 800}, 15, 8);
  d[100] = -200;
  a[100] = 1200;
  d[400] = 1300;
  a[400] = -500;
  const auto screen = screenTrace(d, a, {}, kDefaults);
  EXPECT_EQ(framesFlagged(screen.mask, kOutlierFrame), (std::vector<std::size_t>{100, 400}));
  EXPECT_EQ(screen.mask[250], 0);
  EXPECT_EQ(screen.maskedFrames, 2u);
  EXPECT_LT(screen.anticorrelation, -0.9);
  EXPECT_NEAR(screen.efficiency.low, 0.2, 0.03);
  EXPECT_NEAR(screen.efficiency.high, 0.8, 0.03);
  // E's frame noise: 15 * sqrt(E^2 + (1 - E)^2) / 1000 at either level.
  EXPECT_NEAR(screen.efficiency.noise, 0.0124, 0.002);
}

TEST(ScreenTraceTest, DonorOnlyMoleculeHasNoAcceptorSignal) {
  const auto d = steps(600, {0}, {1000}, 30, 9);
  const auto a = steps(600, {0}, {0}, 30, 10);
  const auto screen = screenTrace(d, a, {}, kDefaults);
  EXPECT_LT(std::abs(screen.snrAcceptor), 0.3);
  EXPECT_NEAR(screen.snrDonor, 1000.0 / 30, 5);
  EXPECT_NEAR(screen.efficiency.median, 0, 0.01);
  EXPECT_EQ(screen.acceptorSteps, 0u);
  EXPECT_TRUE(std::isnan(screen.snrDirect));
}

TEST(ScreenTraceTest, CountsEachBleachingStep) {
  // Two donors (an aggregate): the total falls from 2000 to 1000 to 0.
  const auto d = steps(1000, {0, 300, 600}, {1200, 600, 0}, 40, 11);
  const auto a = steps(1000, {0, 300, 600}, {800, 400, 0}, 40, 12);
  const auto two = screenTrace(d, a, {}, kDefaults);
  EXPECT_EQ(two.donorSteps, 2u);
  EXPECT_EQ(two.acceptorSteps, 2u);
  EXPECT_EQ(two.partialBleaches, 1u);  // the first donor; the second takes the total to 0
  EXPECT_EQ(two.bleachedFrames, 400u);
  EXPECT_EQ(two.darkFrames, 0u);

  // A FRET change with a detection efficiency that differs between the dyes lowers the total
  // too, but the donor and acceptor move apart: no donor bleached.
  const auto dFret = steps(1000, {0, 500}, {800, 300}, 20, 15);
  const auto aFret = steps(1000, {0, 500}, {200, 400}, 20, 16);
  const auto fret = screenTrace(dFret, aFret, {}, kDefaults);
  EXPECT_EQ(fret.donorSteps, 1u);
  EXPECT_EQ(fret.partialBleaches, 0u);

  // A drop by a tenth is a change of level too small to count as a dye.
  const auto dSmall = steps(1000, {0, 500}, {1000, 850}, 20, 13);
  const auto aSmall = steps(1000, {0}, {500}, 20, 14);
  EXPECT_EQ(screenTrace(dSmall, aSmall, {}, kDefaults).donorSteps, 0u);
}

TEST(ScreenTraceTest, DegenerateTraces) {
  const std::vector<double> d(200, 600.0), a(200, 400.0);
  const auto flat = screenTrace(d, a, {}, kDefaults);
  EXPECT_EQ(flat.maskedFrames, 0u);
  EXPECT_EQ(flat.efficiency.median, 0.4);
  EXPECT_TRUE(std::isinf(flat.snrTotal));
  EXPECT_EQ(flat.donorSteps, 0u);

  std::vector<double> dStep(d), aStep(a);
  for (std::size_t i = 100; i < 200; ++i) dStep[i] = aStep[i] = 0;
  const auto step = screenTrace(dStep, aStep, {}, kDefaults);
  EXPECT_EQ(step.bleachedFrames, 100u);
  EXPECT_EQ(step.donorSteps, 1u);

  const std::vector<double> one{500.0};
  const auto single = screenTrace(one, one, one, kDefaults);
  EXPECT_EQ(single.frames, 1u);
  EXPECT_EQ(single.mask.size(), 1u);
  EXPECT_EQ(single.efficiency.median, 0.5);
  const auto empty = screenTrace({}, {}, {}, kDefaults);
  EXPECT_EQ(empty.frames, 0u);
  EXPECT_TRUE(std::isnan(empty.intensity));

  const std::vector<double> shorter(199, 1.0);
  EXPECT_THROW(screenTrace(d, shorter, {}, kDefaults), std::invalid_argument);
  EXPECT_THROW(screenTrace(d, a, shorter, kDefaults), std::invalid_argument);
  ScreenSettings inverted;
  inverted.eLowest = 2;
  EXPECT_THROW(screenTrace(d, a, {}, inverted), std::invalid_argument);
}

TEST(ScreenSignalTest, MasksSpikesButNeverALevelNearZero) {
  // A dwell near zero (frames 200-299) is a state, not a blink; frame 50 is a spike.
  auto x = steps(600, {0, 200, 300, 450}, {1000, 30, 1000, 500}, 25, 15);
  x[50] += 600;
  const auto screen = screenSignal(x, kDefaults);
  EXPECT_EQ(framesFlagged(screen.mask, kOutlierFrame), (std::vector<std::size_t>{50}));
  EXPECT_EQ(screen.outlierFrames, 1u);
  EXPECT_NEAR(screen.noise, 25, 5);
  EXPECT_EQ(screen.steps, 2u);
  EXPECT_EQ(screenSignal(std::vector<double>{7.0}, kDefaults).frames, 1u);
}

}  // namespace
}  // namespace lumetra
