// Photobleaching: where a trace's signal falls to background for good. A bleached dye emits
// nothing from the frame it bleaches on, so every later frame holds background only; a step to
// background followed by a return of the signal is a blink, not bleaching.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

namespace lumetra {

// Scale that makes the median absolute deviation estimate a normal standard deviation.
inline constexpr double kMadToSigma = 1.4826;

// Noise of one frame from the spread of frame-to-frame differences, which steps barely move:
// kMadToSigma * MAD of the first differences / sqrt(2); 0 under two frames. Values must be finite.
double frameNoise(std::span<const double> signal);

struct BleachSettings {
  // Level of the signal once the dye has bleached: 0 for background-corrected traces.
  double background = 0;
  // Fewest frames at background that count as bleached; a shorter dip at the very end of a
  // trace cannot be told from noise.
  std::size_t minBleachedFrames = 3;
  // Largest mean of the bleached frames above background, as a fraction of the mean above
  // background before them: a drop that leaves more than this is a change of level, not
  // bleaching.
  double maxResidual = 0.25;
  // Smallest improvement of the squared residuals, in units of the noise variance, that the
  // step to background must bring over a constant trace.
  double minScore = 50;
};

struct BleachStep {
  std::optional<std::size_t> frame;  // first bleached frame; empty when nothing bleached
  double score = 0;        // improvement of the squared residuals / noise variance at the best cut,
                           // also when that cut is rejected
  double levelBefore = 0;  // mean signal before the cut (of the whole trace when not bleached)
  double levelAfter = 0;   // mean signal from the cut on (background when not bleached)
  double noise = 0;        // frame-to-frame noise: 1.4826 * MAD of the differences / sqrt(2)
};

// The step of `signal` to `settings.background` that stays there to the end, if any. The cut k
// minimises the squared residuals of the model "constant level on frames [0, k), background on
// [k, n)"; it is reported when at least minBleachedFrames and one frame before it are left, the
// level after it is within maxResidual of background, the level before it lies above
// background, and the score reaches minScore. A noise-free signal (noise 0) scores infinity for
// any improvement. Traces shorter than minBleachedFrames + 1 frames report no bleaching.
// Throws std::invalid_argument for a non-finite value or invalid settings (minBleachedFrames 0,
// maxResidual outside [0, 1), minScore < 0).
BleachStep detectBleachStep(std::span<const double> signal, const BleachSettings& settings);

enum class BleachedDye { none, donor, acceptor };

struct FirstBleach {
  BleachedDye dye = BleachedDye::none;
  std::optional<std::size_t> frame;  // first frame after which the trace is cut
  BleachStep total;                  // step of the total intensity under donor excitation
  BleachStep direct;                 // step of the acceptor-excitation channel (none if absent)
};

// The first bleaching of either dye in a two-colour trace. The donor bleaching shows as the drop
// of the total intensity donor + acceptor (under donor excitation) to the sum of their
// backgrounds; acceptor bleaching shows as the drop of the acceptor-excitation channel to its
// background. With no acceptor-excitation channel (`acceptorDirect` empty), only the donor is
// looked at. When both bleach, the earlier frame wins (the donor on a tie). `donor`, `acceptor`
// and a non-empty `acceptorDirect` must have equal lengths (std::invalid_argument otherwise);
// each settings object gives the background of its channel(s).
FirstBleach firstBleach(std::span<const double> donor, std::span<const double> acceptor,
                        std::span<const double> acceptorDirect, const BleachSettings& total,
                        const BleachSettings& direct);

}  // namespace lumetra
