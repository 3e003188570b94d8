#include "screening.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "photobleach.hpp"
#include "reductions.hpp"

namespace lumetra {
namespace {

// Margin, in noises, that tells a level from background (and a partly bleached frame).
constexpr double kNoiseMargin = 3;
// Least noise the step count assumes, as a fraction of the largest magnitude: in a noise-free
// trace the rounding of the sums is no level change.
constexpr double kRelativeNoiseFloor = 1e-6;
// Levels shorter than this are passed over in the step count: the frame in which a dye bleached
// partway, or a molecule changed state, holds a mix of the levels on either side.
constexpr std::size_t kShortestLevel = 3;
// A total that stays above this share of its level before a step has not bleached: as
// photobleach.hpp's maxResidual.
constexpr double kBleachedResidual = BleachSettings{}.maxResidual;

struct Level {
  std::size_t start, end;  // frames [start, end) of the signal segmented
  double mean;
};
// Frames before a bleaching step whose median is the level a partly bleached frame drops from.
constexpr std::size_t kLevelFrames = 5;
constexpr double kLowPercentile = 0.05;
constexpr double kHighPercentile = 0.95;

void checkSettings(const ScreenSettings& s) {
  if (!(s.darkFraction >= 0 && s.darkFraction <= 1) || !(s.outlierSpread >= 0) ||
      !(s.stepFraction >= 0) || !(s.stepPenalty >= 0) || !(s.eLowest <= s.eHighest)) {
    throw std::invalid_argument("screening settings out of range");
  }
}

void checkFinite(std::span<const double> values) {
  if (!std::ranges::all_of(values, [](double v) { return std::isfinite(v); })) {
    throw std::invalid_argument("a channel has a non-finite value");
  }
}

// The q-quantile of values, interpolated linearly between order statistics; NaN when empty.
double quantile(std::vector<double> values, double q) {
  if (values.empty()) return kNotANumber;
  const double position = q * static_cast<double>(values.size() - 1);
  const auto below = static_cast<std::size_t>(position);
  const auto at = values.begin() + static_cast<std::ptrdiff_t>(below);
  std::nth_element(values.begin(), at, values.end());
  const double lower = *at;
  if (below + 1 == values.size()) return lower;
  const double upper = *std::min_element(at + 1, values.end());
  return lower + (upper - lower) * (position - static_cast<double>(below));
}

double median(std::vector<double> values) { return quantile(std::move(values), 0.5); }

// Median of the upper half of the values: the level of a signal when it is on.
double brightLevel(std::vector<double> values) {
  if (values.empty()) return kNotANumber;
  const auto half = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), half, values.end());
  return median(std::vector<double>(half, values.end()));
}

double madSpread(const std::vector<double>& values) {
  const double centre = median(values);
  std::vector<double> deviations(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) deviations[i] = std::abs(values[i] - centre);
  return kMadToSigma * median(std::move(deviations));
}

// The values at the frames whose mask has none of the flags in `excluded`.
std::vector<double> framesWithout(std::span<const double> values,
                                  const std::vector<std::uint8_t>& mask, std::uint8_t excluded) {
  std::vector<double> out;
  out.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    if ((mask[i] & excluded) == 0) out.push_back(values[i]);
  }
  return out;
}

constexpr std::uint8_t kAnyFlag = kDarkFrame | kBleachedFrame | kOutlierFrame;

double signalToNoise(const std::vector<double>& values) {
  if (values.empty()) return kNotANumber;
  return mean(values) / frameNoise(values);
}

double pearson(const std::vector<double>& x, const std::vector<double>& y) {
  if (x.size() < 3) return kNotANumber;
  const double mx = mean(x), my = mean(y);
  double sxy = 0, sxx = 0, syy = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    sxy += (x[i] - mx) * (y[i] - my);
    sxx += (x[i] - mx) * (x[i] - mx);
    syy += (y[i] - my) * (y[i] - my);
  }
  if (sxx <= 0 || syy <= 0) return kNotANumber;
  return sxy / std::sqrt(sxx * syy);
}

// First bleached frame of a signal (its size when it does not bleach), one frame earlier when
// the frame before the step lies kNoiseMargin noises below the kLevelFrames frames before it.
std::size_t bleachStart(std::span<const double> signal) {
  const BleachStep step = detectBleachStep(signal, BleachSettings{});
  if (!step.frame) return signal.size();
  const std::size_t last = *step.frame - 1;
  const std::size_t from = last > kLevelFrames ? last - kLevelFrames : 0;
  const double before = from < last ? median({signal.begin() + static_cast<std::ptrdiff_t>(from),
                                              signal.begin() + static_cast<std::ptrdiff_t>(last)})
                                    : step.levelBefore;
  return signal[last] < before - kNoiseMargin * step.noise ? last : last + 1;
}

// Flags as dark the unflagged frames below darkFraction of the signal's bright level, taken
// over the frames not bleached. A bright level within kNoiseMargin noises of 0 makes every
// such frame dark when `faintIsDark`, none otherwise.
void markDark(std::span<const double> signal, double darkFraction, bool faintIsDark,
              std::vector<std::uint8_t>& mask) {
  const auto lit = framesWithout(signal, mask, kBleachedFrame);
  const double level = brightLevel(lit);
  const bool faint = level <= kNoiseMargin * frameNoise(lit);
  if (faint && !faintIsDark) return;
  for (std::size_t i = 0; i < signal.size(); ++i) {
    if (mask[i] == 0 && (faint || signal[i] < darkFraction * level)) mask[i] = kDarkFrame;
  }
}

// Flags as outliers the unflagged frames whose value lies beyond both nearest unflagged
// neighbours by more than `spread` frame noises of the unflagged values.
void markSpikes(std::span<const double> values, double spread, std::vector<std::uint8_t>& mask) {
  std::vector<std::size_t> kept;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (mask[i] == 0) kept.push_back(i);
  }
  if (kept.size() < 3) return;
  std::vector<double> v(kept.size());
  for (std::size_t j = 0; j < kept.size(); ++j) v[j] = values[kept[j]];
  const double margin = spread * frameNoise(v);
  for (std::size_t j = 1; j + 1 < v.size(); ++j) {
    const auto [low, high] = std::minmax(v[j - 1], v[j + 1]);
    if (v[j] > high + margin || v[j] < low - margin) mask[kept[j]] = kOutlierFrame;
  }
}

// The levels of the signal: binary segmentation of its mean, a change kept when it lowers the
// squared residuals by more than stepPenalty * noise^2 * log(n); levels shorter than
// kShortestLevel frames are passed over (a frame within which the signal changed is no level).
std::vector<Level> levelsOf(const std::vector<double>& signal, const ScreenSettings& settings) {
  const std::size_t n = signal.size();
  if (n < 2) return {};
  double largest = 0;
  for (double v : signal) largest = std::max(largest, std::abs(v));
  const double noise = std::max(frameNoise(signal), kRelativeNoiseFloor * largest);
  const double penalty = settings.stepPenalty * noise * noise * std::log(static_cast<double>(n));

  // Sums of the values and their squares about the overall mean, so each cost is O(1).
  const double centre = mean(signal);
  std::vector<double> sums(n + 1, 0.0), squares(n + 1, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double v = signal[i] - centre;
    sums[i + 1] = sums[i] + v;
    squares[i + 1] = squares[i] + v * v;
  }
  const auto cost = [&](std::size_t a, std::size_t b) {
    const double s = sums[b] - sums[a];
    return squares[b] - squares[a] - s * s / static_cast<double>(b - a);
  };

  std::vector<std::size_t> changes;
  std::vector<std::pair<std::size_t, std::size_t>> pending{{0, n}};
  while (!pending.empty()) {
    const auto [a, b] = pending.back();
    pending.pop_back();
    std::size_t best = a;
    double bestCost = cost(a, b);
    for (std::size_t k = a + 1; k < b; ++k) {
      const double split = cost(a, k) + cost(k, b);
      if (split < bestCost) {
        bestCost = split;
        best = k;
      }
    }
    if (best == a || cost(a, b) - bestCost <= penalty) continue;
    changes.push_back(best);
    pending.emplace_back(a, best);
    pending.emplace_back(best, b);
  }
  std::ranges::sort(changes);
  changes.push_back(n);

  std::vector<Level> levels;
  std::size_t start = 0;
  for (std::size_t end : changes) {
    if (end - start >= kShortestLevel) {
      levels.push_back(
          {start, end, centre + (sums[end] - sums[start]) / static_cast<double>(end - start)});
    }
    start = end;
  }
  return levels;
}

// A step down counts when it is at least stepFraction of the first level (none if that is <= 0).
bool isStepDown(const std::vector<Level>& levels, std::size_t j, const ScreenSettings& settings) {
  return levels[j - 1].mean - levels[j].mean >= settings.stepFraction * levels.front().mean;
}

std::size_t countDownSteps(const std::vector<double>& signal, const ScreenSettings& settings) {
  const auto levels = levelsOf(signal, settings);
  if (levels.empty() || !(levels.front().mean > 0)) return 0;
  std::size_t steps = 0;
  for (std::size_t j = 1; j < levels.size(); ++j) steps += isStepDown(levels, j, settings);
  return steps;
}

double meanOver(const std::vector<double>& values, const Level& level) {
  double sum = 0;
  for (std::size_t i = level.start; i < level.end; ++i) sum += values[i];
  return sum / static_cast<double>(level.end - level.start);
}

// Steps down of the total in which donor and acceptor both fall by stepFraction of their own
// level and the total stays above kBleachedResidual of its level before: one of several donors
// bleaching. A FRET change moves the two channels apart, a blink or the last bleaching takes
// the total to background.
std::size_t countPartialBleaches(const std::vector<double>& total, const std::vector<double>& d,
                                 const std::vector<double>& a, const ScreenSettings& settings) {
  const auto levels = levelsOf(total, settings);
  if (levels.empty() || !(levels.front().mean > 0)) return 0;
  std::size_t partial = 0;
  for (std::size_t j = 1; j < levels.size(); ++j) {
    if (!isStepDown(levels, j, settings)) continue;
    const Level &before = levels[j - 1], &after = levels[j];
    const auto falls = [&](const std::vector<double>& channel) {
      const double was = meanOver(channel, before);
      return was > 0 && was - meanOver(channel, after) >= settings.stepFraction * was;
    };
    partial += falls(d) && falls(a) && after.mean > kBleachedResidual * before.mean;
  }
  return partial;
}

EfficiencySpread efficiencySpread(const std::vector<double>& e) {
  EfficiencySpread out;
  if (e.empty()) return out;
  out.median = median(e);
  out.low = quantile(e, kLowPercentile);
  out.high = quantile(e, kHighPercentile);
  out.noise = frameNoise(e);
  out.spread = madSpread(e);
  return out;
}

}  // namespace

TraceScreen screenTrace(std::span<const double> donor, std::span<const double> acceptor,
                        std::span<const double> acceptorDirect, const ScreenSettings& settings) {
  checkSettings(settings);
  const std::size_t n = donor.size();
  const bool direct = !acceptorDirect.empty();
  if (acceptor.size() != n || (direct && acceptorDirect.size() != n)) {
    throw std::invalid_argument("channels of different lengths");
  }
  checkFinite(donor);
  checkFinite(acceptor);
  checkFinite(acceptorDirect);

  TraceScreen out;
  out.frames = n;
  out.mask.assign(n, 0);
  std::vector<double> total(n), efficiency(n);
  for (std::size_t i = 0; i < n; ++i) {
    total[i] = donor[i] + acceptor[i];
    efficiency[i] = total[i] > 0 ? acceptor[i] / total[i] : kNotANumber;
  }

  std::size_t bleached = bleachStart(total);
  if (direct) bleached = std::min(bleached, bleachStart(acceptorDirect));
  std::fill(out.mask.begin() + static_cast<std::ptrdiff_t>(bleached), out.mask.end(),
            kBleachedFrame);
  markDark(total, settings.darkFraction, true, out.mask);
  if (direct) markDark(acceptorDirect, settings.darkFraction, false, out.mask);
  for (std::size_t i = 0; i < n; ++i) {
    const double e = efficiency[i];
    if (out.mask[i] == 0 && !(e >= settings.eLowest && e <= settings.eHighest)) {
      out.mask[i] = kOutlierFrame;
    }
  }
  markSpikes(efficiency, settings.outlierSpread, out.mask);

  for (std::uint8_t flag : out.mask) {
    out.darkFrames += flag == kDarkFrame;
    out.bleachedFrames += flag == kBleachedFrame;
    out.outlierFrames += flag == kOutlierFrame;
  }
  out.maskedFrames = out.darkFrames + out.bleachedFrames + out.outlierFrames;

  const auto d = framesWithout(donor, out.mask, kAnyFlag);
  const auto a = framesWithout(acceptor, out.mask, kAnyFlag);
  const auto t = framesWithout(total, out.mask, kAnyFlag);
  out.snrDonor = signalToNoise(d);
  out.snrAcceptor = signalToNoise(a);
  out.snrTotal = signalToNoise(t);
  out.anticorrelation = pearson(d, a);
  out.intensity = median(t);
  out.efficiency = efficiencySpread(framesWithout(efficiency, out.mask, kAnyFlag));
  if (direct) {
    const auto aa = framesWithout(acceptorDirect, out.mask, kAnyFlag);
    out.snrDirect = signalToNoise(aa);
    out.directIntensity = median(aa);
  }

  constexpr std::uint8_t kNotLevels = kDarkFrame | kOutlierFrame;
  const auto levelled = framesWithout(total, out.mask, kNotLevels);
  out.donorSteps = countDownSteps(levelled, settings);
  out.partialBleaches =
      countPartialBleaches(levelled, framesWithout(donor, out.mask, kNotLevels),
                           framesWithout(acceptor, out.mask, kNotLevels), settings);
  out.acceptorSteps = countDownSteps(
      framesWithout(direct ? acceptorDirect : acceptor, out.mask, kNotLevels), settings);
  return out;
}

SignalScreen screenSignal(std::span<const double> signal, const ScreenSettings& settings) {
  checkSettings(settings);
  checkFinite(signal);
  SignalScreen out;
  out.frames = signal.size();
  out.mask.assign(signal.size(), 0);
  markSpikes(signal, settings.outlierSpread, out.mask);
  out.outlierFrames = static_cast<std::size_t>(std::ranges::count(out.mask, kOutlierFrame));
  const auto kept = framesWithout(signal, out.mask, kAnyFlag);
  if (!kept.empty()) {
    out.noise = frameNoise(kept);
    out.snr = mean(kept) / out.noise;
    out.intensity = median(kept);
  }
  out.steps = countDownSteps(kept, settings);
  return out;
}

}  // namespace lumetra
