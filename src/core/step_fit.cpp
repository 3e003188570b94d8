#include "step_fit.hpp"

#include <algorithm>
#include <cmath>

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

StepFit fitSteps(std::span<const double> frames, std::span<const double> intensity, NaNRule rule,
                 const NonStationary& stream, const StepFitSettings& settings) {
  const Index h = settings.halfWinLen;
  const auto length = static_cast<Index>(frames.size());
  if (h < 1) throw StepFitUnsupported("half window below 1");
  if (intensity.size() != frames.size()) throw StepFitUnsupported("columns of unequal length");
  // Compared before the window length is formed, which a huge half window would overflow.
  if (h > (length - 1) / 2) throw StepFitUnsupported("trace shorter than one window");
  const Index windowsLen = 2 * h + 1;
  const auto cut =
      frames.subspan(static_cast<std::size_t>(h), static_cast<std::size_t>(length - 2 * h));
  requireRegularSteps(frames);

  StepFit fit;
  fit.dataVar = movingVariance(intensity, frames.size(), windowsLen, rule);
  const std::vector<double> dy = derivative(cut, fit.dataVar, 2);
  fit.dataNS.resize(fit.dataVar.size());
  stream.stream(NsAlgo::LocalToGlobal, windowsLen, fit.dataNS);

  const double varMean = mean(fit.dataVar);
  fit.thresholdVar = varMean + settings.thrate * std::abs(varMean);
  fit.pairs = genPairs(fit.dataVar, fit.thresholdVar);
  std::vector<double> widths;
  widths.reserve(fit.pairs.size());
  for (const Pair& p : fit.pairs) widths.push_back(static_cast<double>(p.end - p.start));
  fit.kept = widePairPositions(widths, static_cast<double>(h), settings.filterWidth);
  fit.thresholdNS = streamThreshold(fit.dataNS);

  fit.candidates.resize(fit.kept.size());
  for (std::size_t i = 0; i < fit.kept.size(); ++i) {
    const Pair& pair = fit.pairs[fit.kept[i]];
    CandidateTest& test = fit.candidates[i];
    try {
      test.integral = integralRange(frames, pair.start, pair.end, dy, h);
    } catch (const std::out_of_range& e) {
      throw StepFitUnsupported(e.what());
    }
    testSlopeRatio(frames, pair, h, test);
    if (!test.ratio || !(*test.ratio > settings.rratio)) continue;
    test.passedRatio = true;
    // A peak of the stream strictly inside the pair; its own ends do not count.
    for (Index k = pair.start + 1; k < pair.end; ++k) {
      if (fit.dataNS[static_cast<std::size_t>(k)] > fit.thresholdNS) {
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
