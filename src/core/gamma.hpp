// The regularised incomplete gamma function and the quantiles of the gamma and chi-square
// distributions, for exact confidence intervals of exponential rates.
#pragma once

namespace lumetra {

// P(a, x) = gamma(a, x) / Gamma(a), the gamma distribution's CDF with shape a (> 0) at x (>= 0).
// Series expansion below a + 1, Lentz's continued fraction for Q = 1 - P above.
double regularisedGammaP(double a, double x);

// The x with P(a, x) = p, for 0 < p < 1 and a > 0 (bracketing, then bisection to full precision).
double gammaQuantile(double p, double a);

// Quantile of the chi-square distribution with `dof` (> 0) degrees of freedom.
double chiSquareQuantile(double p, double dof);

}  // namespace lumetra
