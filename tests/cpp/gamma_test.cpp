#include "gamma.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

namespace lumetra {
namespace {

TEST(GammaTest, IncompleteGammaMatchesClosedForms) {
  for (double x : {0.0, 0.1, 1.0, 2.5, 10.0, 40.0}) {
    EXPECT_NEAR(regularisedGammaP(1, x), 1 - std::exp(-x), 1e-14) << x;
    EXPECT_NEAR(regularisedGammaP(2, x), 1 - std::exp(-x) * (1 + x), 1e-14) << x;
  }
  EXPECT_NEAR(regularisedGammaP(0.5, 2.0), std::erf(std::sqrt(2.0)), 1e-14);
  EXPECT_THROW(regularisedGammaP(0, 1), std::invalid_argument);
  EXPECT_THROW(regularisedGammaP(1, -1), std::invalid_argument);
}

TEST(GammaTest, ChiSquareQuantilesMatchTables) {
  EXPECT_NEAR(chiSquareQuantile(0.95, 1), 3.841458820694124, 1e-9);
  EXPECT_NEAR(chiSquareQuantile(0.025, 2), 0.05063561596857975, 1e-11);
  EXPECT_NEAR(chiSquareQuantile(0.975, 2), 7.377758908227871, 1e-9);
  EXPECT_NEAR(chiSquareQuantile(0.025, 200), 162.72798250184627, 1e-7);
  EXPECT_NEAR(chiSquareQuantile(0.975, 2000), 2125.8423024497756, 1e-6);
  EXPECT_THROW(chiSquareQuantile(1, 3), std::invalid_argument);
  EXPECT_THROW(gammaQuantile(0.5, 0), std::invalid_argument);
}

TEST(GammaTest, QuantileInvertsTheDistribution) {
  for (double a : {0.3, 1.0, 7.5, 500.0}) {
    for (double p : {1e-6, 0.025, 0.5, 0.975}) {
      EXPECT_NEAR(regularisedGammaP(a, gammaQuantile(p, a)), p, 1e-12 + 1e-9 * p) << a << " " << p;
    }
  }
}

}  // namespace
}  // namespace lumetra
