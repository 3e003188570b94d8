// The information criterion and the merge test on any partitions, peak lists and statistics.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "criterion.hpp"
#include "fuzz_input.hpp"
#include "merge.hpp"

using namespace lumetra;
using namespace lumetra::fuzz;

namespace {

// The sorted index answers as the interval-by-interval scan does, for frames around every bound.
void peakIndexAgrees(FuzzedDataProvider& in) {
  std::vector<PeakBounds> peaks(in.ConsumeIntegralInRange<std::size_t>(0, 32));
  for (PeakBounds& p : peaks) p = {takeSample(in), takeSample(in)};
  const PeakIndex index(peaks);
  const auto& intervals = index.intervals();
  for (std::size_t k = 0; k < intervals.size(); ++k) {
    check(intervals[k].first <= intervals[k].second);
    if (k > 0) check(intervals[k - 1].second + 1 < intervals[k].first);  // apart, not adjacent
  }
  for (int k = 0; k < 64; ++k) {
    const Index frame = takeIndex(in);
    check(index.contains(frame) == inPeakList(static_cast<double>(frame), peaks) ||
          std::abs(static_cast<double>(frame)) >= 9007199254740992.0);
  }
}

void residuals(FuzzedDataProvider& in) {
  const std::vector<double> intensity = takeSeries(in, 1024);
  const std::vector<Partition> parts = takePartitions(in, 32);
  const std::vector<Pair> peaks = takePairs(in, 32);
  try {
    const Residuals r = partitionResiduals(intensity, parts, PeakIndex(peaks));
    check(r.used <= intensity.size() * parts.size());
    informationCriterion(r, parts.size(), peaks.size(), intensity.size());
  } catch (const std::out_of_range&) {
  } catch (const std::domain_error&) {
  }
  try {
    xic(parts, intensity, peaks);
  } catch (const std::out_of_range&) {
  } catch (const std::domain_error&) {
  }
}

void merging(FuzzedDataProvider& in) {
  const std::vector<double> means = takeSeries(in, 256);
  std::vector<double> stds = takeSeries(in, 256);
  if (in.ConsumeBool()) stds.resize(means.size(), 1.0);
  try {
    const std::vector<bool> joins = mergeFlags(means, stds);
    check(joins.size() == means.size() && (joins.empty() || !joins[0]));
  } catch (const std::invalid_argument&) {
    check(means.size() != stds.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      peakIndexAgrees(in);
      break;
    case 1:
      residuals(in);
      break;
    default:
      merging(in);
  }
  return 0;
}
