// genPairs and the width filter on any series and threshold.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "fuzz_input.hpp"
#include "pairs.hpp"

using namespace lumetra;
using namespace lumetra::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const double threshold = takeSample(in);
  const double halfWin = takeSample(in);
  const double limit = in.ConsumeBool() ? 0.0 : takeSample(in);
  const std::vector<double> series = takeSeries(in, 4096);

  const std::vector<Pair> pairs = genPairs(series, threshold);
  const auto n = static_cast<Index>(series.size());
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    // Each pair lies in the series and ends after it starts; merged pairs are 2 or more apart.
    check(0 <= pairs[k].start && pairs[k].start < pairs[k].end && pairs[k].end < n);
    if (k > 0) {
      check(pairs[k].start - pairs[k - 1].end >= 2);
      check(pairs[k].seq > pairs[k - 1].seq);
    }
  }

  const std::vector<Pair> kept = chainFilters(pairs, halfWin, limit);
  check(kept.size() <= pairs.size());
  const double minimum = pairWidthLimit(halfWin, limit);
  for (const Pair& p : kept) check(static_cast<double>(p.end - p.start) >= minimum);
  return 0;
}
