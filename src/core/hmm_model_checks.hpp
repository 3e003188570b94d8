// The checks of a shared hidden Markov model's input (hmm.hpp): the model's sizes and values,
// the traces, and a trace scale per trace. Each throws std::invalid_argument naming the fault.
#pragma once

#include <cstddef>

#include "hmm.hpp"

namespace lumetra::hmmdetail {

void checkModel(const HmmModel& m);
void checkScaleCount(const HmmModel& m, std::size_t traces);
void checkTraces(TraceSpans traces);

}  // namespace lumetra::hmmdetail
