// Screening of smFRET traces: which frames to leave out (blinks, bleached frames, outliers) and
// the per-trace numbers a batch sorts molecules by (signal to noise, anticorrelation, FRET
// spread, bleaching steps).
//
// A two-colour trace holds the donor D and the acceptor A under donor excitation and, with
// alternating excitation, the acceptor under acceptor excitation AA. The total is I = D + A and
// the proximity ratio E = A / I (NaN where I <= 0). The noise of a signal is frameNoise
// (photobleach.hpp): robust to steps, so a level change does not count as noise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace lumetra {

struct ScreenSettings {
  // A frame is dark (a blink) when its total lies below this fraction of the bright level.
  double darkFraction = 0.3;
  // An isolated spike lies beyond both neighbours by more than this many frame noises of E.
  double outlierSpread = 6;
  // Smallest downward step counted, as a fraction of the level the trace starts at.
  double stepFraction = 0.2;
  // Price of one more level change in the step count, in noise^2 * log(frames).
  double stepPenalty = 3;
  // E outside [eLowest, eHighest] is no FRET value: an outlier.
  double eLowest = -0.5;
  double eHighest = 1.5;
};

// Bit flags of a frame's mask; 0 is a frame every metric uses. A frame carries one flag, the
// first that applies in this order: bleached, dark, outlier.
inline constexpr std::uint8_t kDarkFrame = 1;
inline constexpr std::uint8_t kBleachedFrame = 2;
inline constexpr std::uint8_t kOutlierFrame = 4;

inline constexpr double kNotANumber = std::numeric_limits<double>::quiet_NaN();

// The distribution of E over the unmasked frames; NaN when there are none (and for one channel).
struct EfficiencySpread {
  double median = kNotANumber;
  double low = kNotANumber;     // 5th percentile (linear interpolation, as numpy's default)
  double high = kNotANumber;    // 95th percentile
  double noise = kNotANumber;   // frameNoise of E
  double spread = kNotANumber;  // kMadToSigma * MAD of E about its median
};

struct TraceScreen {
  std::vector<std::uint8_t> mask;  // one per frame: 0 or one of the flags above
  std::size_t frames = 0;
  std::size_t darkFrames = 0;
  std::size_t bleachedFrames = 0;
  std::size_t outlierFrames = 0;
  std::size_t maskedFrames = 0;  // the three above together
  // Mean / frameNoise of each channel over the unmasked frames: +-infinity for a noise-free
  // channel, NaN without unmasked frames (snrDirect also without AA).
  double snrDonor = kNotANumber;
  double snrAcceptor = kNotANumber;
  double snrTotal = kNotANumber;
  double snrDirect = kNotANumber;
  // Pearson correlation of D and A; NaN under 3 unmasked frames or for a constant channel.
  double anticorrelation = kNotANumber;
  double intensity = kNotANumber;        // median I
  double directIntensity = kNotANumber;  // median AA; NaN without AA
  EfficiencySpread efficiency;
  // Downward steps of I (donorSteps) and of AA, or of A without AA (acceptorSteps), counted on
  // the frames that are neither dark nor outliers: the bleached frames stay, so each dye's
  // bleaching step counts.
  std::size_t donorSteps = 0;
  std::size_t acceptorSteps = 0;
  // Steps down of I in which D and A both fall by stepFraction of their level while I stays
  // above bleaching's residual (photobleach.hpp): one of several donors bleached, an aggregate.
  // A FRET change moves D and A apart; the last bleaching takes I to background.
  std::size_t partialBleaches = 0;
};

// Screens a two-colour trace; `acceptorDirect` is empty without alternating excitation.
//
// - Bleached: detectBleachStep (default settings) on I, and on AA when given; every frame from
//   the earliest step on, and the frame just before it when it lies more than 3 noises below
//   the median of the 5 frames before it (the dye bleached during that frame).
// - Dark, among the other frames: I below darkFraction times I's bright level (the median of
//   the upper half of its values); every frame when that level is within 3 noises of 0. With
//   AA, also AA below darkFraction times AA's bright level, unless that level is within 3
//   noises of 0 (an acceptor that never shows is told by snrDirect, not by the mask).
// - Outlier, among the rest: E not finite or outside [eLowest, eHighest], or an isolated
//   spike: E beyond the range of its two nearest frames left unmasked so far by more than
//   outlierSpread times the frameNoise of E over those frames. A frame between its neighbours,
//   or at either end of them, is never a spike.
// - Steps: binary segmentation of the mean, with a price of stepPenalty * noise^2 * log(n) per
//   change; levels of fewer than 3 frames are passed over (a frame within which the signal
//   changed is no level), and a step down between the others counts when it is at least
//   stepFraction of the first one (none when that is <= 0).
//
// Throws std::invalid_argument for channels of different lengths, a non-finite value or
// settings out of range (darkFraction outside [0, 1], outlierSpread, stepFraction or
// stepPenalty negative, eLowest > eHighest, or any of them NaN). An empty trace has no frames
// and NaN metrics.
TraceScreen screenTrace(std::span<const double> donor, std::span<const double> acceptor,
                        std::span<const double> acceptorDirect, const ScreenSettings& settings);

struct SignalScreen {
  std::vector<std::uint8_t> mask;  // kOutlierFrame for the spikes, else 0
  std::size_t frames = 0;
  std::size_t outlierFrames = 0;
  double snr = kNotANumber;        // mean / noise over the unmasked frames
  double noise = kNotANumber;      // frameNoise over the unmasked frames
  double intensity = kNotANumber;  // median over the unmasked frames
  std::size_t steps = 0;           // downward steps, counted as above
};

// Screens a single-channel intensity: spikes (as above, on the signal itself) are masked;
// nothing is masked as dark or bleached, since a level near zero may be a state of the
// molecule. darkFraction, eLowest and eHighest are not used. Throws as screenTrace.
SignalScreen screenSignal(std::span<const double> signal, const ScreenSettings& settings);

}  // namespace lumetra
