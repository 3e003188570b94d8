// The checks of a shared hidden Markov model's input (hmm.hpp): the model's sizes and values,
// the traces, and a trace scale per trace. Each throws std::invalid_argument naming the fault.
#pragma once

#include <cstddef>

#include "hmm.hpp"

namespace lumetra::hmmdetail {

void checkModel(const HmmModel& m);
void checkScaleCount(const HmmModel& m, std::size_t traces);
void checkTraces(TraceSpans traces);
// All three: the model, the traces, and the model's trace scales against the traces.
void checkInput(TraceSpans traces, const HmmModel& m);

}  // namespace lumetra::hmmdetail
