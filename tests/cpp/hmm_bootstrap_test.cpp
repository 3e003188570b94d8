#include "hmm_bootstrap.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "hmm_testing.hpp"

namespace lumetra {
namespace {

const HmmModel kTwoStates{{0.3, 0.7}, {0.1, 0.1}, {0.5, 0.5}, {0.9, 0.1, 0.07, 0.93}};

TEST(HmmBootstrap, DeterministicGivenTheSeedAndCoversTheTruth) {
  const auto data = hmmtest::simulate(kTwoStates, 40, 300, 21);
  const auto traces = hmmtest::spans(data.traces);
  const HmmModel full = fitHmm(traces, kTwoStates).model;
  HmmBootstrapOptions options;
  options.resamples = 40;
  options.seed = 7;
  options.threads = 1;
  const auto one = bootstrapHmm(traces, full, options);
  options.threads = 2;
  const auto two = bootstrapHmm(traces, full, options);
  ASSERT_EQ(one.size(), 40U);
  for (std::size_t r = 0; r < one.size(); ++r) {
    EXPECT_EQ(one[r].transition, two[r].transition);
    EXPECT_EQ(one[r].means, two[r].means);
  }
  options.seed = 8;
  EXPECT_NE(bootstrapHmm(traces, full, options)[0].transition, one[0].transition);
  // The resampled P(0 -> 1) spreads around the fit and its range holds the truth.
  std::vector<double> p01;
  p01.reserve(one.size());
  for (const HmmModel& m : one) p01.push_back(m.transition[1]);
  const auto [low, high] = std::minmax_element(p01.begin(), p01.end());
  EXPECT_LT(*low, 0.1);
  EXPECT_GT(*high, 0.1);
  EXPECT_LT(*high - *low, 0.05);
}

TEST(HmmBootstrap, AnEmptyStateStaysFinite) {
  const auto data = hmmtest::simulate(kTwoStates, 10, 200, 4);
  const auto traces = hmmtest::spans(data.traces);
  const HmmModel three{{0.3, 0.7, 50.0},
                       {0.1, 0.1, 0.1},
                       {0.4, 0.4, 0.2},
                       {0.8, 0.1, 0.1, 0.1, 0.8, 0.1, 0.1, 0.1, 0.8}};
  HmmBootstrapOptions options;
  options.resamples = 5;
  for (const HmmModel& m : bootstrapHmm(traces, three, options)) {
    EXPECT_EQ(m.means[2], 50.0);
    for (double p : m.transition) EXPECT_TRUE(std::isfinite(p));
  }
}

}  // namespace
}  // namespace lumetra
