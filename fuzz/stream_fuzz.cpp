// The nonstationarity scores of any trace, window and slice: finite, never negative, and the
// stream equal bit for bit to the scores of its windows one by one.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "fuzz_input.hpp"
#include "nonstationarity.hpp"

using namespace lumetra;
using namespace lumetra::fuzz;

namespace {

bool validScore(double score) { return std::isfinite(score) && score >= 0 && score <= kNsScoreCap; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto algo = static_cast<NsAlgo>(in.ConsumeIntegralInRange<int>(0, 3));
  const Index windowsLen = takeIndex(in);
  const Index start = takeIndex(in);
  const Index end = takeIndex(in);
  const auto outLength = in.ConsumeIntegralInRange<std::size_t>(0, 600);
  std::vector<double> samples =
      in.ConsumeBool() ? takeSteppedTrace(in, 2048) : takeSeries(in, 1024);

  const double sigma = robustNoiseSigma(samples);
  check(std::isfinite(sigma) && sigma >= 0);

  NonStationary ns;
  try {
    ns.setupDS(windowsLen);
    check(windowsLen >= 0 && ns.windowsLen() == windowsLen);
  } catch (const std::invalid_argument&) {
    check(windowsLen < 0);
  }
  ns.setData(std::move(samples));
  check(ns.sigma() == sigma);
  check(validScore(ns.nsFuncRange(algo, start, end)));

  std::vector<double> out(outLength);
  ns.stream(algo, windowsLen, out);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto from = static_cast<Index>(i);
    const Index to = windowsLen > std::numeric_limits<Index>::max() - from
                         ? std::numeric_limits<Index>::max()
                         : from + windowsLen;
    check(validScore(out[i]) && out[i] == ns.nsFuncRange(algo, from, to));
  }
  return 0;
}
