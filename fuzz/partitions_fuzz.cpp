// genPartitions on pairs found in a series, and on pairs of any shape with any half window and
// trace length.
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "fuzz_input.hpp"
#include "pairs.hpp"

using namespace lumetra;
using namespace lumetra::fuzz;

namespace {

// Pairs found by genPairs in the windowed series of a trace of `dataLen` frames give ordered
// partitions inside the trace, each reaching past the one before.
void fromFoundPairs(FuzzedDataProvider& in) {
  const auto halfWinLen = in.ConsumeIntegralInRange<Index>(1, 64);
  const std::vector<double> series = takeSeries(in, 2048);
  const auto dataLen = static_cast<Index>(series.size()) + 2 * halfWinLen;
  const std::vector<Pair> pairs = genPairs(series, takeSample(in));
  const std::vector<Partition> parts = genPartitions(pairs, halfWinLen, dataLen);
  check(parts.size() <= pairs.size() + 1);
  for (std::size_t k = 0; k < parts.size(); ++k) {
    check(parts[k].seq == static_cast<Index>(k));
    check(0 <= parts[k].start && parts[k].start <= parts[k].end && parts[k].end <= dataLen);
    if (k > 0) check(parts[k - 1].end <= parts[k].start);
  }
  if (!parts.empty()) check(parts.back().end == dataLen);
}

void fromAnyPairs(FuzzedDataProvider& in) {
  const Index halfWinLen = takeIndex(in);
  const Index dataLen = takeIndex(in);
  const std::vector<Pair> pairs = takePairs(in, 64);
  try {
    const std::vector<Partition> parts = genPartitions(pairs, halfWinLen, dataLen);
    check(parts.size() <= pairs.size() + 1);
  } catch (const std::invalid_argument&) {
  } catch (const std::overflow_error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    fromFoundPairs(in);
  } else {
    fromAnyPairs(in);
  }
  return 0;
}
