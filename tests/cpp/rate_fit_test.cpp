#include "rate_fit.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "matrix_log.hpp"

namespace lumetra {
namespace {

// Three states in a chain 0 - 1 - 2, rates per frame.
const std::vector<double> kChain{-0.05, 0.05, 0.0, 0.2, -0.3, 0.1, 0.0, 0.02, -0.02};
const std::vector<std::uint8_t> kChainFree{0, 1, 0, 1, 0, 1, 0, 1, 0};
const std::vector<std::uint8_t> kAllFree{0, 1, 1, 1, 0, 1, 1, 1, 0};

std::vector<double> countsOf(const std::vector<double>& rates, double perRow) {
  std::vector<double> p = matrixExp(rates, 3);
  for (double& v : p) v *= perRow;
  return p;
}

// The rates of a start kept to the chain, each diagonal entry minus its row's sum.
std::vector<double> chainOf(std::vector<double> q) {
  q[2] = q[6] = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    q[4 * i] = 0;
    q[4 * i] = -(q[3 * i] + q[3 * i + 1] + q[3 * i + 2]);
  }
  return q;
}

TEST(RateFit, RecoversTheRatesBehindExactCountsAndKeepsTheTopology) {
  const std::vector<double> counts = countsOf(kChain, 1e5);
  const std::vector<double> rough{-0.2, 0.1, 0.1, 0.1, -0.2, 0.1, 0.1, 0.1, -0.2};
  for (const auto* free : {&kChainFree, &kAllFree}) {
    const std::vector<double> q = fitRates(counts, *free, rough, 3);
    for (std::size_t i = 0; i < 9; ++i) EXPECT_NEAR(q[i], kChain[i], 1e-3 * 0.3) << i;
    EXPECT_GE(rateLogLikelihood(counts, q, 3), rateLogLikelihood(counts, kChain, 3) - 1e-6);
  }
  // Counts of a full matrix seen through a chain: the rates outside it stay exactly zero and
  // every row sums to zero.
  const std::vector<double> full{-0.2, 0.15, 0.05, 0.1, -0.3, 0.2, 0.04, 0.06, -0.1};
  const std::vector<double> q = fitRates(countsOf(full, 1e4), kChainFree, rough, 3);
  EXPECT_EQ(q[2], 0.0);
  EXPECT_EQ(q[6], 0.0);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(q[3 * i] + q[3 * i + 1] + q[3 * i + 2], 0, 1e-15);
  EXPECT_GT(rateLogLikelihood(countsOf(full, 1e4), q, 3),
            rateLogLikelihood(countsOf(full, 1e4), chainOf(rough), 3));
}

TEST(RateFit, RefusesMalformedInput) {
  const std::vector<double> counts = countsOf(kChain, 10);
  EXPECT_THROW(fitRates(std::vector<double>(4), kChainFree, kChain, 3), std::invalid_argument);
  EXPECT_THROW(fitRates(counts, std::vector<std::uint8_t>(4), kChain, 3), std::invalid_argument);
  std::vector<double> negative = counts;
  negative[1] = -1;
  EXPECT_THROW(fitRates(negative, kChainFree, kChain, 3), std::invalid_argument);
}

}  // namespace
}  // namespace lumetra
