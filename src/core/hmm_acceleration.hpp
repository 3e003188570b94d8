// Squared extrapolation of Baum-Welch (SQUAREM, Varadhan and Roland 2008). Where the states are
// hard to tell apart (a level split between two states, kinetic states that share a level) each
// EM step moves the model a little along the same direction, and EM crawls. From a model and two
// EM steps beyond it, the extrapolation jumps along that direction by a step length read off the
// two steps; the fit then checks the jump's log-likelihood and falls back to the plain EM step
// when it is not higher (hmm.cpp).
#pragma once

#include <vector>

#include "hmm.hpp"

namespace lumetra::hmmdetail {

// The free parameters of a model on an unconstrained scale: means, log spreads, log start and
// transition probabilities (log rates when the transitions are fitted as rates), log trace
// scales and the logit of the outlier share. Zero probabilities and rates are kept apart.
std::vector<double> unconstrained(const HmmModel& m, const HmmOptions& options);

// The model of unconstrained parameters `theta`, shaped as `like` (its zeros stay zero, rows and
// the start normalised, spreads, scales and the outlier share kept within the fit's limits).
HmmModel constrained(const std::vector<double>& theta, const HmmModel& like,
                     const HmmOptions& options, double floor);

// theta0 - 2 a r + a^2 v for r = theta1 - theta0, v = theta2 - 2 theta1 + theta0 and
// a = -|r| / |v| (at most -1, so at least as far as theta2; at least kLongestStep).
std::vector<double> extrapolated(const std::vector<double>& theta0,
                                 const std::vector<double>& theta1,
                                 const std::vector<double>& theta2);

inline constexpr double kLongestStep = -64;

}  // namespace lumetra::hmmdetail
