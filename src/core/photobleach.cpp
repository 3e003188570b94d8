#include "photobleach.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace lumetra {
namespace {

double median(std::vector<double> values) {
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  if (values.size() % 2 == 1) return *middle;
  return (*middle + *std::max_element(values.begin(), middle)) / 2;
}

void checkSettings(const BleachSettings& s) {
  if (s.minBleachedFrames == 0 || !(s.maxResidual >= 0 && s.maxResidual < 1) ||
      !(s.minScore >= 0) || !std::isfinite(s.background)) {
    throw std::invalid_argument("bleach settings out of range");
  }
}

}  // namespace

double frameNoise(std::span<const double> x) {
  if (x.size() < 2) return 0;
  std::vector<double> differences(x.size() - 1);
  for (std::size_t i = 0; i + 1 < x.size(); ++i) differences[i] = x[i + 1] - x[i];
  const double centre = median(differences);
  for (double& d : differences) d = std::abs(d - centre);
  return kMadToSigma * median(std::move(differences)) / std::sqrt(2.0);
}

BleachStep detectBleachStep(std::span<const double> signal, const BleachSettings& settings) {
  checkSettings(settings);
  const std::size_t n = signal.size();
  std::vector<double> y(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(signal[i])) throw std::invalid_argument("signal has a non-finite value");
    y[i] = signal[i] - settings.background;
  }
  BleachStep step;
  step.noise = frameNoise(y);
  step.levelAfter = settings.background;
  if (n == 0) return step;

  // Sums over [k, n) of y and y^2, so the cost of "background from k on" is read in O(1).
  std::vector<double> suffixSum(n + 1, 0.0), suffixSquares(n + 1, 0.0);
  for (std::size_t i = n; i-- > 0;) {
    suffixSum[i] = suffixSum[i + 1] + y[i];
    suffixSquares[i] = suffixSquares[i + 1] + y[i] * y[i];
  }
  // Welford's running mean and squared deviations of y[0, k).
  std::vector<double> prefixMean(n + 1, 0.0), prefixSquares(n + 1, 0.0);
  for (std::size_t k = 1; k <= n; ++k) {
    const double delta = y[k - 1] - prefixMean[k - 1];
    prefixMean[k] = prefixMean[k - 1] + delta / static_cast<double>(k);
    prefixSquares[k] = prefixSquares[k - 1] + delta * (y[k - 1] - prefixMean[k]);
  }
  const double constantCost = prefixSquares[n];
  step.levelBefore = prefixMean[n] + settings.background;
  if (n < settings.minBleachedFrames + 1) return step;

  std::size_t best = 0;
  double bestCost = std::numeric_limits<double>::infinity();
  for (std::size_t k = 1; k + settings.minBleachedFrames <= n; ++k) {
    const double cost = prefixSquares[k] + suffixSquares[k];
    if (cost < bestCost) {
      bestCost = cost;
      best = k;
    }
  }
  const double improvement = constantCost - bestCost;
  const double variance = step.noise * step.noise;
  const double score = improvement <= 0 ? 0
                       : variance > 0   ? improvement / variance
                                        : std::numeric_limits<double>::infinity();
  const double before = prefixMean[best];
  const double after = suffixSum[best] / static_cast<double>(n - best);
  if (score >= settings.minScore && before > 0 && after <= settings.maxResidual * before) {
    step.frame = best;
    step.score = score;
    step.levelBefore = before + settings.background;
    step.levelAfter = after + settings.background;
  } else {
    step.score = score;
  }
  return step;
}

FirstBleach firstBleach(std::span<const double> donor, std::span<const double> acceptor,
                        std::span<const double> acceptorDirect, const BleachSettings& total,
                        const BleachSettings& direct) {
  if (donor.size() != acceptor.size() ||
      (!acceptorDirect.empty() && acceptorDirect.size() != donor.size())) {
    throw std::invalid_argument("channels of different lengths");
  }
  std::vector<double> sum(donor.size());
  for (std::size_t i = 0; i < sum.size(); ++i) sum[i] = donor[i] + acceptor[i];
  FirstBleach out;
  out.total = detectBleachStep(sum, total);
  if (!acceptorDirect.empty()) out.direct = detectBleachStep(acceptorDirect, direct);
  if (out.total.frame) {
    out.dye = BleachedDye::donor;
    out.frame = out.total.frame;
  }
  if (out.direct.frame && (!out.frame || *out.direct.frame < *out.frame)) {
    out.dye = BleachedDye::acceptor;
    out.frame = out.direct.frame;
  }
  return out;
}

}  // namespace lumetra
