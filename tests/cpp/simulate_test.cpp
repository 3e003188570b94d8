#include "simulate.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace lumetra {
namespace {

SimulationSettings settings(std::vector<double> levels, std::vector<double> dwell, double sigma,
                            std::size_t frames, std::uint64_t seed) {
  SimulationSettings s;
  s.levels = std::move(levels);
  s.meanDwell = std::move(dwell);
  s.noiseSigma = sigma;
  s.frames = frames;
  s.seed = seed;
  return s;
}

// Runs of equal ideal values as (level, length), without the last run, which the end of the trace
// cuts short. With distinct levels each run is one visit.
std::vector<std::pair<double, std::size_t>> visits(const SimulationSettings& s) {
  std::vector<std::pair<double, std::size_t>> out;
  for (double v : simulateTrace(s).ideal) {
    if (out.empty() || out.back().first != v) out.emplace_back(v, 0);
    ++out.back().second;
  }
  out.pop_back();
  return out;
}

double meanDwellOf(const std::vector<std::pair<double, std::size_t>>& runs, double level) {
  double total = 0, count = 0;
  for (const auto& [l, length] : runs) {
    if (l != level) continue;
    total += static_cast<double>(length);
    ++count;
  }
  return total / count;
}

TEST(SimulateTraceTest, SameSeedReproducesTheTraceOtherSeedsDiffer) {
  const SimulatedTrace a = simulateTrace(settings({200, 600}, {80, 60}, 40, 5000, 7));
  const SimulatedTrace b = simulateTrace(settings({200, 600}, {80, 60}, 40, 5000, 7));
  EXPECT_EQ(a.intensity, b.intensity);
  EXPECT_EQ(a.ideal, b.ideal);
  const SimulatedTrace c = simulateTrace(settings({200, 600}, {80, 60}, 40, 5000, 8));
  EXPECT_NE(a.intensity, c.intensity);
  EXPECT_NE(a.ideal, c.ideal);
  // The noise level does not move the steps.
  EXPECT_EQ(a.ideal, simulateTrace(settings({200, 600}, {80, 60}, 0, 5000, 7)).ideal);

  ASSERT_EQ(a.time.size(), 5000u);
  for (std::size_t i = 0; i < a.time.size(); ++i) ASSERT_EQ(a.time[i], i * 0.1);
}

TEST(SimulateTraceTest, IdealHoldsExactlyTheGivenLevels) {
  const SimulationSettings s = settings({250.5, 700, 1300}, {40, 90, 20}, 50, 20000, 5);
  const SimulatedTrace t = simulateTrace(s);
  EXPECT_EQ(std::set<double>(t.ideal.begin(), t.ideal.end()),
            std::set<double>(s.levels.begin(), s.levels.end()));
  EXPECT_EQ(simulateTrace(settings({800}, {5}, 30, 1500, 1)).ideal, std::vector<double>(1500, 800));
}

TEST(SimulateTraceTest, MeanDwellMatchesTheSettingForLongAndShortDwells) {
  // About 11,000 visits per level: the sampling error of each mean is about 1%.
  const auto longRuns = visits(settings({200, 600, 1000}, {80, 30, 150}, 0, 3'000'000, 2024));
  EXPECT_NEAR(meanDwellOf(longRuns, 200), 80, 0.04 * 80);
  EXPECT_NEAR(meanDwellOf(longRuns, 600), 30, 0.04 * 30);
  EXPECT_NEAR(meanDwellOf(longRuns, 1000), 150, 0.04 * 150);
  // Dwells are whole frames; rounding a continuous draw would overshoot these by 5-20%.
  const auto shortRuns = visits(settings({100, 900}, {3, 1.5}, 0, 1'000'000, 99));
  EXPECT_NEAR(meanDwellOf(shortRuns, 100), 3, 0.02 * 3);
  EXPECT_NEAR(meanDwellOf(shortRuns, 900), 1.5, 0.02 * 1.5);
}

TEST(SimulateTraceTest, DwellsAreExponentiallyDistributed) {
  // About e^-1 of exponential dwells outlast the mean and e^-2 twice the mean.
  const auto runs = visits(settings({300, 900}, {50, 50}, 0, 2'000'000, 17));
  double overMean = 0, overTwice = 0;
  for (const auto& run : runs) {
    overMean += run.second > 50 ? 1 : 0;
    overTwice += run.second > 100 ? 1 : 0;
  }
  EXPECT_NEAR(overMean / runs.size(), std::exp(-1.0), 0.015);
  EXPECT_NEAR(overTwice / runs.size(), std::exp(-2.0), 0.01);
}

TEST(SimulateTraceTest, StartAndNextLevelsAreUniform) {
  std::map<double, int> starts;
  for (std::uint64_t seed = 0; seed < 3000; ++seed) {
    ++starts[simulateTrace(settings({0, 1, 2}, {10, 10, 10}, 0, 1, seed)).ideal[0]];
  }
  for (double level : {0, 1, 2}) EXPECT_NEAR(starts[level], 1000, 100);  // sd about 26

  const auto runs = visits(settings({0, 1, 2}, {20, 20, 20}, 0, 600'000, 8));
  std::array<std::array<double, 3>, 3> moves{};
  for (std::size_t i = 1; i < runs.size(); ++i) {
    ++moves[static_cast<int>(runs[i - 1].first)][static_cast<int>(runs[i].first)];
  }
  for (int from = 0; from < 3; ++from) {
    const int a = (from + 1) % 3, b = (from + 2) % 3;
    EXPECT_NEAR(moves[from][a] / (moves[from][a] + moves[from][b]), 0.5, 0.03) << from;
  }
}

TEST(SimulateTraceTest, NoiseIsGaussianWithTheRequestedSigma) {
  const SimulatedTrace t = simulateTrace(settings({200, 600}, {80, 60}, 40, 200'001, 31));
  const auto n = static_cast<double>(t.ideal.size());
  std::vector<double> r(t.ideal.size());
  double mean = 0, var = 0, lag1 = 0, within1 = 0, within2 = 0;
  for (std::size_t i = 0; i < r.size(); ++i) {
    r[i] = t.intensity[i] - t.ideal[i];
    mean += r[i] / n;
  }
  for (std::size_t i = 0; i < r.size(); ++i) {
    var += (r[i] - mean) * (r[i] - mean) / n;
    if (i > 0) lag1 += (r[i] - mean) * (r[i - 1] - mean) / n;
    within1 += std::abs(r[i]) < 40 ? 1 : 0;
    within2 += std::abs(r[i]) < 80 ? 1 : 0;
  }
  EXPECT_NEAR(mean, 0, 0.4);
  EXPECT_NEAR(std::sqrt(var), 40, 0.6);
  EXPECT_NEAR(lag1 / var, 0, 0.01);  // neighbouring frames are independent
  EXPECT_NEAR(within1 / n, 0.6827, 0.005);
  EXPECT_NEAR(within2 / n, 0.9545, 0.003);

  // Every frame gets noise, also the last one of an odd-length trace.
  for (std::size_t frames = 1; frames <= 5; ++frames) {
    const SimulatedTrace s = simulateTrace(settings({1000, 5000}, {2, 2}, 1, frames, frames));
    for (std::size_t i = 0; i < frames; ++i) {
      EXPECT_NE(s.intensity[i], s.ideal[i]);
      EXPECT_NEAR(s.intensity[i], s.ideal[i], 6);
    }
  }
  const SimulatedTrace quiet = simulateTrace(settings({200, 600}, {80, 60}, 0, 3000, 12));
  EXPECT_EQ(quiet.intensity, quiet.ideal);
}

TEST(SimulateTraceTest, InvalidSettingsThrowNamingTheField) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<std::pair<std::string, SimulationSettings>> cases = {
      {"levels", settings({}, {}, 1, 10, 1)},
      {"levels[1]", settings({1, nan}, {5, 5}, 1, 10, 1)},
      {"meanDwell", settings({1, 2}, {5}, 1, 10, 1)},
      {"meanDwell[1]", settings({1, 2}, {5, 0}, 1, 10, 1)},
      {"meanDwell[0]", settings({1, 2}, {nan, 5}, 1, 10, 1)},
      {"noiseSigma", settings({1, 2}, {5, 5}, -1, 10, 1)},
      {"frames", settings({1, 2}, {5, 5}, 1, 0, 1)},
      {"frameStep",
       [] {
         auto s = settings({1}, {5}, 1, 10, 1);
         s.frameStep = 0;
         return s;
       }()},
  };
  for (const auto& [field, s] : cases) {
    try {
      simulateTrace(s);
      ADD_FAILURE() << "accepted bad " << field;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(field), std::string::npos) << e.what();
    }
  }
}

TEST(WriteTraceFileTest, WritesHeaderAndOneLinePerFrameThatReadsBackExactly) {
  SimulatedTrace t = simulateTrace(settings({200, 600}, {80, 60}, 40, 2000, 21));
  t.time.push_back(0.1 + 0.2);
  t.intensity.push_back(std::numeric_limits<double>::denorm_min());
  t.ideal.push_back(-1e300);
  std::ostringstream out;
  writeTraceFile(out, t);
  std::istringstream in(out.str());
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(line, "Frame/10\tCH1-BGND1\tIdeal");
  std::size_t i = 0;
  for (; std::getline(in, line); ++i) {
    ASSERT_LT(i, t.time.size());
    const char* p = line.c_str();
    char* end = nullptr;
    for (const std::vector<double>* column : {&t.time, &t.intensity, &t.ideal}) {
      ASSERT_EQ(std::strtod(p, &end), (*column)[i]) << "line " << i + 2 << ": " << line;
      ASSERT_TRUE(*end == (column == &t.ideal ? '\0' : '\t')) << "line " << i + 2 << ": " << line;
      p = end + 1;
    }
  }
  EXPECT_EQ(i, t.time.size());
  EXPECT_EQ(out.str().back(), '\n');

  t.ideal.pop_back();
  EXPECT_THROW(writeTraceFile(out, t), std::invalid_argument);
}

}  // namespace
}  // namespace lumetra
