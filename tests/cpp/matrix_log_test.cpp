#include "matrix_log.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

namespace lumetra {
namespace {

// exp(Q t) of two states with rates a (0 -> 1) and b (1 -> 0), in closed form.
std::vector<double> twoStateTransition(double a, double b, double t) {
  const double decay = 1 - std::exp(-(a + b) * t);
  const double p01 = a / (a + b) * decay, p10 = b / (a + b) * decay;
  return {1 - p01, p01, p10, 1 - p10};
}

void expectNear(const std::vector<double>& got, const std::vector<double>& want, double tol) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], want[i], tol) << i;
}

TEST(MatrixLog, RecoversTheRatesOfAKnownTwoStateTransitionMatrix) {
  const std::vector<double> q{-1.0, 1.0, 0.666, -0.666};
  for (double dt : {0.01, 0.1, 1.0, 3.0}) {  // near the identity, and far from it
    const auto p = twoStateTransition(1.0, 0.666, dt);
    std::vector<double> qdt = q;
    for (double& v : qdt) v *= dt;
    expectNear(matrixExp(qdt, 2), p, 1e-13);
    const auto rates = rateMatrix(p, 2, dt);
    ASSERT_TRUE(rates.has_value()) << dt;
    expectNear(*rates, q, 1e-9);
  }
}

TEST(MatrixLog, InvertsTheExponentialOfAnIrreversibleCycle) {
  // 0 -> 1 -> 2 -> 0 at 0.3-0.5 /s, backwards 0.05 /s.
  const std::vector<double> q{-0.35, 0.3, 0.05, 0.05, -0.45, 0.4, 0.5, 0.05, -0.55};
  for (double dt : {0.1, 2.0}) {
    std::vector<double> qdt = q;
    for (double& v : qdt) v *= dt;
    const auto p = matrixExp(qdt, 3);
    for (std::size_t r = 0; r < 3; ++r)
      EXPECT_NEAR(p[r * 3] + p[r * 3 + 1] + p[r * 3 + 2], 1, 1e-14);
    const auto rates = rateMatrix(p, 3, dt);
    ASSERT_TRUE(rates.has_value());
    expectNear(*rates, q, 1e-9);
  }
  const auto zero = matrixLog(std::vector<double>{1, 0, 0, 1}, 2);
  ASSERT_TRUE(zero.has_value());
  expectNear(*zero, {0, 0, 0, 0}, 0);
}

TEST(MatrixLog, NoRealLogarithmAndBadInput) {
  // Eigenvalue -1 (a chain that alternates every frame) and a singular matrix.
  EXPECT_FALSE(matrixLog(std::vector<double>{0, 1, 1, 0}, 2).has_value());
  EXPECT_FALSE(matrixLog(std::vector<double>{0.5, 0.5, 0.5, 0.5}, 2).has_value());
  EXPECT_FALSE(matrixLog(std::vector<double>{1, NAN, 0, 1}, 2).has_value());
  EXPECT_THROW(matrixLog(std::vector<double>{1, 0, 0}, 2), std::invalid_argument);
  EXPECT_THROW(rateMatrix(std::vector<double>{1, 0, 0, 1}, 2, 0), std::invalid_argument);
  // The exponential of a matrix that is not finite is not a number, never undefined behaviour.
  for (const double bad : {INFINITY, NAN}) {
    for (double v : matrixExp(std::vector<double>{-bad, bad, 1, -1}, 2)) EXPECT_TRUE(std::isnan(v));
  }
}

TEST(MatrixLog, RatesOfAChainNoRateMatrixMakesAreTheNearestValidOnes) {
  // log(P) has -0.00575 from 0 to 2: 0 -> 2 is seen in two frames but never in one.
  const std::vector<double> p{0.9, 0.1, 0, 0, 0.9, 0.1, 0, 0, 1};
  const auto q = rateMatrix(p, 3, 0.5);
  ASSERT_TRUE(q.has_value());
  expectNear(*q,
             {-0.2222222222222222, 0.2222222222222222, 0, 0, -0.2107210313156526,
              0.2107210313156526, 0, 0, 0},
             1e-12);
}

}  // namespace
}  // namespace lumetra
