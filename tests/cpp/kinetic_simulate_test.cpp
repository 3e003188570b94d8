#include "kinetic_simulate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <map>
#include <stdexcept>
#include <vector>

namespace lumetra {
namespace {

KineticSettings twoState() {
  KineticSettings s;
  s.levels = {600, 1000};
  s.rates = {0, 0.15, 0.22, 0};
  s.frameTime = 0.2;
  s.frames = 2000;
  s.gaussianSigma = 100;
  s.seed = 11;
  return s;
}

TEST(KineticSimulateTest, SameSeedSameTrace) {
  const KineticTrace a = simulateKinetics(twoState());
  const KineticTrace b = simulateKinetics(twoState());
  EXPECT_EQ(a.intensity, b.intensity);
  EXPECT_EQ(a.state, b.state);
  KineticSettings other = twoState();
  other.seed = 12;
  EXPECT_NE(simulateKinetics(other).state, a.state);
  ASSERT_EQ(a.time.size(), 2000u);
  EXPECT_DOUBLE_EQ(a.time[10], 2.0);
}

TEST(KineticSimulateTest, DwellsFollowTheRateMatrix) {
  KineticSettings s;
  s.levels = {100, 200, 300};
  // From 0: to 1 at 0.3, to 2 at 0.1; from 1: to 0 at 1.0; from 2: to 0 at 0.5.
  s.rates = {0, 0.3, 0.1, 1.0, 0, 0, 0.5, 0, 0};
  s.frameTime = 0.1;
  s.frames = 400000;
  const KineticTrace t = simulateKinetics(s);
  std::map<int, double> total, count;
  std::map<int, std::map<int, double>> onward;
  for (std::size_t i = 0; i + 1 < t.dwells.size(); ++i) {
    const TrueDwell& d = t.dwells[i];
    EXPECT_FALSE(d.censored);
    total[d.state] += d.duration;
    count[d.state] += 1;
    onward[d.state][t.dwells[i + 1].state] += 1;
    EXPECT_NEAR(d.start + d.duration, t.dwells[i + 1].start, 1e-6);
  }
  EXPECT_TRUE(t.dwells.back().censored);
  EXPECT_NEAR(count[0] / total[0], 0.4, 0.4 * 0.04);
  EXPECT_NEAR(count[1] / total[1], 1.0, 0.04);
  EXPECT_NEAR(count[2] / total[2], 0.5, 0.5 * 0.06);
  EXPECT_NEAR(onward[0][1] / count[0], 0.75, 0.03);
  EXPECT_EQ(onward[1][2] + onward[2][1] + onward[1][1] + onward[2][2], 0);

  // Populations: the share of frames in each state approaches the stationary one.
  const auto populations = stationaryPopulations(s.rates, 3);
  std::vector<double> frames(3);
  for (int state : t.state) frames[static_cast<std::size_t>(state)] += 1;
  // pi0 * 0.3 = pi1 * 1.0, pi0 * 0.1 = pi2 * 0.5.
  EXPECT_NEAR(populations[0], 1 / 1.5, 1e-9);
  EXPECT_NEAR(populations[1], 0.3 / 1.5, 1e-9);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(frames[i] / 400000, populations[i], 0.02);
}

TEST(KineticSimulateTest, ExposuresAverageTheLevelsTheySee) {
  KineticSettings s = twoState();
  s.gaussianSigma = 0;
  const KineticTrace t = simulateKinetics(s);
  ASSERT_GT(t.dwells.size(), 20u);
  const TrueDwell& first = t.dwells[0];
  const auto f = static_cast<std::size_t>(std::floor(first.duration / 0.2));
  const double inFirst = first.duration - static_cast<double>(f) * 0.2;
  const double expected =
      (inFirst * s.levels[first.state] + (0.2 - inFirst) * s.levels[t.dwells[1].state]) / 0.2;
  EXPECT_NEAR(t.ideal[f], expected, 1e-6);
  EXPECT_EQ(t.state[f], inFirst >= 0.1 ? first.state : t.dwells[1].state);
  EXPECT_EQ(t.ideal[0], s.levels[first.state]);
  EXPECT_EQ(t.intensity, t.ideal);
}

TEST(KineticSimulateTest, BleachingEndsTheKineticsAndDarkensTheDonor) {
  KineticSettings s = twoState();
  s.gaussianSigma = 0;
  s.bleachRate = 0.01;
  s.bleachedLevel = 5;
  s.seed = 3;
  const KineticTrace t = simulateKinetics(s);
  ASSERT_LT(t.bleachTime, 400);
  const auto bleachFrame = static_cast<std::size_t>(std::ceil(t.bleachTime / 0.2));
  for (std::size_t f = bleachFrame; f < t.ideal.size(); ++f) {
    ASSERT_EQ(t.ideal[f], 5) << f;
    ASSERT_EQ(t.state[f], kBleached) << f;
  }
  EXPECT_NE(t.state[bleachFrame - 2], kBleached);
  EXPECT_NEAR(t.dwells.back().start + t.dwells.back().duration, t.bleachTime, 1e-9);
  EXPECT_TRUE(t.dwells.back().censored);
}

TEST(KineticSimulateTest, ShotNoiseIsPoisson) {
  KineticSettings s;
  s.levels = {4, 400};
  s.rates = {0, 0, 0, 0};  // no exits: each trace stays in its first state
  s.frames = 50000;
  s.shotNoise = true;
  for (std::uint64_t seed = 0; seed < 6; ++seed) {
    s.seed = seed;
    const KineticTrace t = simulateKinetics(s);
    const double level = t.ideal[0];
    double sum = 0, squares = 0;
    for (double v : t.intensity) {
      ASSERT_EQ(v, std::floor(v));
      sum += v;
      squares += v * v;
    }
    const double mean = sum / 50000, variance = squares / 50000 - mean * mean;
    EXPECT_NEAR(mean, level, 4 * std::sqrt(level / 50000));
    EXPECT_NEAR(variance, level, 0.05 * level);
  }
}

TEST(KineticSimulateTest, InvalidSettingsNameTheField) {
  auto message = [](const KineticSettings& s) {
    try {
      simulateKinetics(s);
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  KineticSettings s = twoState();
  s.levels = {1};
  EXPECT_EQ(message(s), "simulateKinetics: levels must hold 2 to 4 states (got 1)");
  s = twoState();
  s.rates = {0, 1, 1};
  EXPECT_EQ(message(s), "simulateKinetics: rates must hold 4 entries (a 2 x 2 matrix), got 3");
  s = twoState();
  s.rates = {0.5, 1, 1, 0};
  EXPECT_EQ(message(s), "simulateKinetics: rate from state 0 to state 0 must be 0");
  s = twoState();
  s.rates = {0, -1, 1, 0};
  EXPECT_EQ(message(s), "simulateKinetics: rate from state 0 to state 1 must be finite and >= 0");
  s = twoState();
  s.frames = 0;
  EXPECT_EQ(message(s), "simulateKinetics: frames must be at least 1");
  s = twoState();
  s.shotNoise = true;
  s.levels = {-5, 10};
  EXPECT_EQ(message(s), "simulateKinetics: shot noise needs levels >= 0 (photon counts)");
}

}  // namespace
}  // namespace lumetra
