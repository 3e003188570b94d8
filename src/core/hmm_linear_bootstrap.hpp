// The spread of a shared hidden Markov model over molecules without refitting each resample: the
// EM map linearised about the fit (supplemented EM, Meng and Rubin 1991). Each trace's E-step
// tallies at the fit are gathered once. The M-step of a resample's weighted tallies moves the
// model by d; the refit that resample stands for lies (I - J)^-1 d from the fit, J being the
// Jacobian of the EM map at the fit (central differences: two E-steps of all traces per free
// parameter). All of it on the unconstrained scale of hmm_acceleration.hpp, so that rates stay
// positive and probabilities normalised. The trace scales are held at the fit's.
#pragma once

#include <vector>

#include "hmm_bootstrap.hpp"
#include "hmm_source.hpp"

namespace lumetra {

// As bootstrapHmm: the same resamples for the same seed, one model per resample with its states
// numbered by ascending mean (options.fit.maxIterations and tolerance are not used). A parameter
// the traces do not determine (a rate with no transition behind it, which EM leaves where it is)
// is held at the fit's value. Throws std::invalid_argument as fitHmm for malformed input,
// std::runtime_error when I - J is singular all the same.
std::vector<HmmModel> linearisedBootstrapHmm(TraceSpans traces, const HmmModel& full,
                                             const HmmBootstrapOptions& options = {});

// The same over any source of E-steps (options.fit.threads and frameBlur are the source's
// business; options.threads splits the resamples): its E-steps at the models about the fit and
// each trace's tally at the fit (ExpectationSource::traceTallies). Throws std::invalid_argument
// for a malformed model, no trace, trace scales or frame counts that do not match the source's
// traces, no observed frame, or trace tallies that do not match; what the source throws passes
// through.
std::vector<HmmModel> linearisedBootstrapHmm(ExpectationSource& source, const HmmModel& full,
                                             const HmmBootstrapOptions& options = {});

}  // namespace lumetra
