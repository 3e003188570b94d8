// The whole step fit of a trace as the Python fit runs it: fitSteps, its score against its own
// pairs, then the statistics of the partitions and the merge of indistinguishable neighbours.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "criterion.hpp"
#include "fuzz_input.hpp"
#include "merge.hpp"
#include "nonstationarity.hpp"
#include "segment_stats.hpp"
#include "step_fit.hpp"

using namespace lumetra;
using namespace lumetra::fuzz;

namespace {

std::vector<double> takeFrames(FuzzedDataProvider& in, std::size_t length) {
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
    std::vector<double> frames = takeSeries(in, length + 1);
    frames.resize(length, 0.0);
    return frames;
  }
  const double step = in.ConsumeBool() ? 0.1 : takeSample(in);
  const double origin = in.ConsumeBool() ? 0.0 : takeSample(in);
  std::vector<double> frames(length);
  for (std::size_t i = 0; i < length; ++i) frames[i] = origin + static_cast<double>(i) * step;
  return frames;
}

double takeParameter(FuzzedDataProvider& in, double typical) {
  return in.ConsumeBool() ? typical * in.ConsumeIntegralInRange<int>(-4, 8) / 4.0 : takeSample(in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  StepFitSettings settings{};
  settings.halfWinLen = in.ConsumeBool() ? in.ConsumeIntegralInRange<Index>(-2, 40) : takeIndex(in);
  settings.rratio = takeParameter(in, 0.177);
  settings.thrate = takeParameter(in, 0.2);
  settings.filterWidth = in.ConsumeBool() ? 0.0 : takeParameter(in, 2);
  const NaNRule rule = in.ConsumeBool() ? NaNRule::skip : NaNRule::propagate;
  const std::vector<double> intensity = takeSteppedTrace(in, 4096);
  const std::vector<double> frames =
      takeFrames(in, intensity.size() + (in.ConsumeIntegralInRange<int>(0, 15) == 0 ? 1 : 0));

  NonStationary stream;
  stream.setData(intensity);
  StepFit fit;
  try {
    fit = fitSteps(frames, intensity, rule, stream, settings);
  } catch (const StepFitUnsupported&) {
    return 0;
  }

  const auto length = static_cast<Index>(intensity.size());
  const std::size_t windows = intensity.size() - static_cast<std::size_t>(2 * settings.halfWinLen);
  check(fit.dataVar.size() == windows && fit.dataNS.size() == windows);
  check(fit.candidates.size() == fit.kept.size() && fit.pairs3.size() <= fit.kept.size());
  check(fit.moments.size() == fit.partitions.size());
  for (std::size_t k = 0; k < fit.partitions.size(); ++k) {
    const Partition& p = fit.partitions[k];
    check(0 <= p.start && p.start <= p.end && p.end <= length);
    if (k > 0) check(fit.partitions[k - 1].end <= p.start);
  }

  try {
    scoreStepFit(fit.partitions, intensity, PeakIndex(fit.pairs), fit.pairs.size());
  } catch (const std::domain_error&) {
  }
  const std::vector<double> means = segmentMeans(intensity, fit.partitions, rule);
  const std::vector<double> stds = segmentStd(intensity, fit.partitions, rule);
  const std::vector<bool> joins = mergeFlags(means, stds);
  check(joins.size() == fit.partitions.size() && (joins.empty() || !joins[0]));
  return 0;
}
