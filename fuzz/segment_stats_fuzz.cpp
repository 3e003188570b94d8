// Segment statistics and numpy-exact reductions on any data, partitions, windows and orders.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "fuzz_input.hpp"
#include "reductions.hpp"
#include "segment_stats.hpp"

using namespace lumetra;
using namespace lumetra::fuzz;

namespace {

void reductions(std::span<const double> x) {
  const double sum = pairwiseSum(x);
  const double m = mean(x);
  const double v = variance(x);
  if (x.empty()) check(std::isnan(m) && std::isnan(v));
  if (!x.empty() && !std::isnan(sum)) check(!std::isnan(m));
  check(!(v < 0) && !(nanVariance(x) < 0));
  check(countNotNaN(x) <= x.size());
  const std::size_t width = x.empty() ? 1 : 1 + x.size() % 160;
  if (width <= x.size()) {
    std::vector<double> out(x.size() - width + 1);
    windowVariances(x, width, out);
    // Each window agrees bit for bit with the variance of its own slice.
    for (std::size_t i = 0; i < out.size(); ++i) {
      const double one = variance(x.subspan(i, width));
      check(out[i] == one || (std::isnan(out[i]) && std::isnan(one)));
    }
  }
}

void segments(FuzzedDataProvider& in, std::span<const double> x) {
  const std::vector<Partition> parts = takePartitions(in, 32);
  const NaNRule rule = in.ConsumeBool() ? NaNRule::skip : NaNRule::propagate;
  check(segmentStd(x, parts, rule).size() == parts.size());
  check(segmentMeans(x, parts, rule).size() == parts.size());
  const auto order = in.ConsumeIntegralInRange<long long>(-8, 12);
  check(
      segmentMoments(x, parts, in.ConsumeBool() ? order : in.ConsumeIntegral<long long>()).size() ==
      parts.size());
  momentLosesPrecision(x);
  const Index start = takeIndex(in);
  const SliceBounds b = sliceBounds(start, takeIndex(in), x.size());
  check(b.begin <= b.end && b.end <= x.size());
}

void windows(FuzzedDataProvider& in, std::span<const double> x) {
  const Index windowsLen = takeIndex(in);
  const auto frameCount = in.ConsumeIntegralInRange<std::size_t>(0, x.size() + 2);
  try {
    const std::vector<double> var = movingVariance(
        x, frameCount, windowsLen, in.ConsumeBool() ? NaNRule::skip : NaNRule::propagate);
    check(var.empty() || var.size() == frameCount - static_cast<std::size_t>(windowsLen) + 1);
  } catch (const std::invalid_argument&) {
  }
}

void derivatives(FuzzedDataProvider& in, std::span<const double> x) {
  const std::vector<double> frames = takeSeries(in, 512);
  try {
    derivative(frames, x, takeIndex(in));
  } catch (const std::invalid_argument&) {
  }
  // A range that starts at a position of y can be valid and ask for any number of values; it is
  // kept short.  One that starts before y fails at once, however far it reaches.
  const Index i0 = takeIndex(in);
  const Index i1 = i0 < 0 || i0 > std::numeric_limits<Index>::max() - 4096
                       ? takeIndex(in)
                       : i0 + in.ConsumeIntegralInRange<Index>(-8, 4096);
  try {
    const std::vector<double> integral = integralRange(frames, i0, i1, x, takeIndex(in));
    check(static_cast<Index>(integral.size()) == (i1 > i0 ? i1 - i0 : 0));
  } catch (const std::out_of_range&) {
  }
}

void slopes(FuzzedDataProvider& in, std::span<const double> y) {
  std::vector<double> x = takeSeries(in, y.size() + 1);
  if (in.ConsumeBool()) {
    x.resize(y.size());
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<double>(i) * 0.1;
  }
  try {
    lineSlope(x, y);
  } catch (const std::invalid_argument&) {  // FitLengthError and an empty x
  } catch (const std::domain_error&) {      // FitNotSolvable, FitWithoutSlope
  }
  try {
    middleThirdSlopeRatio(x, y, in.ConsumeBool() ? NaNRule::skip : NaNRule::propagate);
  } catch (const std::invalid_argument&) {
  } catch (const std::domain_error&) {  // AllNaNHalf too
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::vector<double> x = takeSeries(in, 1024);
  switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
      reductions(x);
      break;
    case 1:
      segments(in, x);
      break;
    case 2:
      windows(in, x);
      break;
    case 3:
      derivatives(in, x);
      break;
    default:
      slopes(in, x);
  }
  return 0;
}
