#include "step_fit.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "reductions.hpp"

namespace lumetra {
namespace {

using Index = std::ptrdiff_t;

// The frame axis must rise through finite, distinct times for the derivative to be finite.
void requireRegularSteps(std::span<const double> frames) {
  for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
    const double step = frames[i + 1] - frames[i];
    if (!std::isfinite(step) || step == 0) {
      throw StepFitUnsupported("the frame axis repeats a time or holds a non-finite one");
    }
  }
}

// The slope-ratio test of one candidate; a line fit that the library would warn about or
// refuse is not modelled here.
void testSlopeRatio(std::span<const double> frames, const Pair& pair, Index halfWinLen,
                    CandidateTest& test) {
  const SliceBounds rows =
      sliceBounds(pair.start + halfWinLen, pair.end + halfWinLen, frames.size());
  const auto x = frames.subspan(rows.begin, rows.end - rows.begin);
  std::optional<SlopeRatio> result;
  try {
    result = middleThirdSlopeRatio(x, test.integral, NaNRule::propagate);
  } catch (const std::exception& e) {
    throw StepFitUnsupported(e.what());
  }
  if (!result) return;
  if (result->rankDeficient || result->chordRun == 0 || result->chordSlope == 0 ||
      !std::isfinite(result->chordSlope) || !std::isfinite(result->ratio)) {
    throw StepFitUnsupported("degenerate slope ratio");
  }
  test.slope = result->slope;
  test.ratio = result->ratio;
}

}  // namespace

double streamThreshold(std::span<const double> ns) {
  if (ns.empty()) throw std::invalid_argument("threshold of an empty stream");
  const double m = mean(ns);
  if (m > 0) return 3 * m;
  double smallest = ns[0];
  for (double v : ns) {
    if (v < smallest) smallest = v;  // the first of equal values, as min() keeps it
  }
  return 2 * std::abs(smallest);
}

WindowStreams windowStreams(std::span<const double> frames, std::span<const double> intensity,
                            NaNRule rule, const NonStationary& stream, std::ptrdiff_t halfWinLen) {
  const Index h = halfWinLen;
  const auto length = static_cast<Index>(frames.size());
  if (h < 1) throw StepFitUnsupported("half window below 1");
  if (intensity.size() != frames.size()) throw StepFitUnsupported("columns of unequal length");
  // Compared before the window length is formed, which a huge half window would overflow.
  if (h > (length - 1) / 2) throw StepFitUnsupported("trace shorter than one window");
  const Index windowsLen = 2 * h + 1;
  const auto cut =
      frames.subspan(static_cast<std::size_t>(h), static_cast<std::size_t>(length - 2 * h));
  requireRegularSteps(frames);

  WindowStreams w;
  w.halfWinLen = h;
  w.dataVar = movingVariance(intensity, frames.size(), windowsLen, rule);
  w.dy = derivative(cut, w.dataVar, 2);
  w.dataNS.resize(w.dataVar.size());
  stream.stream(NsAlgo::LocalToGlobal, windowsLen, w.dataNS);
  w.varMean = mean(w.dataVar);
  w.thresholdNS = streamThreshold(w.dataNS);
  return w;
}

void fitFromStreams(std::span<const double> frames, std::span<const double> intensity, NaNRule rule,
                    const WindowStreams& streams, const StepFitSettings& settings, StepFit& fit) {
  const Index h = settings.halfWinLen;
  if (h != streams.halfWinLen) throw std::invalid_argument("streams of another half window");
  const auto length = static_cast<Index>(frames.size());
  fit.thresholdVar = streams.varMean + settings.thrate * std::abs(streams.varMean);
  fit.pairs = genPairs(streams.dataVar, fit.thresholdVar);
  std::vector<double> widths;
  widths.reserve(fit.pairs.size());
  for (const Pair& p : fit.pairs) widths.push_back(static_cast<double>(p.end - p.start));
  fit.kept = widePairPositions(widths, static_cast<double>(h), settings.filterWidth);

  fit.candidates.assign(fit.kept.size(), CandidateTest{});
  fit.pairs3.clear();
  for (std::size_t i = 0; i < fit.kept.size(); ++i) {
    const Pair& pair = fit.pairs[fit.kept[i]];
    CandidateTest& test = fit.candidates[i];
    try {
      test.integral = integralRange(frames, pair.start, pair.end, streams.dy, h);
    } catch (const std::out_of_range& e) {
      throw StepFitUnsupported(e.what());
    }
    testSlopeRatio(frames, pair, h, test);
    if (!test.ratio || !(*test.ratio > settings.rratio)) continue;
    test.passedRatio = true;
    // A peak of the stream strictly inside the pair; its own ends do not count.
    for (Index k = pair.start + 1; k < pair.end; ++k) {
      if (streams.dataNS[static_cast<std::size_t>(k)] > streams.thresholdNS) {
        test.passedNS = true;
        fit.pairs3.push_back(pair);
        break;
      }
    }
  }

  fit.partitions = genPartitions(fit.pairs3, h, length);
  fit.moments = segmentStd(intensity, fit.partitions, rule);
  if (std::any_of(fit.moments.begin(), fit.moments.end(), [](double v) { return std::isnan(v); })) {
    throw StepFitUnsupported("a partition without a finite spread");
  }
}

StepFit fitSteps(std::span<const double> frames, std::span<const double> intensity, NaNRule rule,
                 const NonStationary& stream, const StepFitSettings& settings) {
  WindowStreams streams = windowStreams(frames, intensity, rule, stream, settings.halfWinLen);
  StepFit fit;
  fitFromStreams(frames, intensity, rule, streams, settings, fit);
  fit.thresholdNS = streams.thresholdNS;
  fit.dataVar = std::move(streams.dataVar);
  fit.dataNS = std::move(streams.dataNS);
  return fit;
}

std::optional<double> scoreStepFit(std::span<const Partition> partitions,
                                   std::span<const double> intensity, const PeakIndex& references,
                                   std::size_t referenceCount) {
  const Residuals residuals = partitionResiduals(intensity, partitions, references);
  if (residuals.used == 0) return std::nullopt;
  return informationCriterion(residuals, partitions.size(), referenceCount, intensity.size());
}

}  // namespace lumetra
