#include "kinetic_simulate.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "random.hpp"

namespace lumetra {
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::invalid_argument("simulateKinetics: " + what);
}

void validate(const KineticSettings& s) {
  const std::size_t n = s.levels.size();
  if (n < 2 || n > 4) fail("levels must hold 2 to 4 states (got " + std::to_string(n) + ")");
  if (s.rates.size() != n * n) {
    fail("rates must hold " + std::to_string(n * n) + " entries (a " + std::to_string(n) + " x " +
         std::to_string(n) + " matrix), got " + std::to_string(s.rates.size()));
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(s.levels[i])) fail("levels[" + std::to_string(i) + "] must be finite");
    for (std::size_t j = 0; j < n; ++j) {
      const double r = s.rates[i * n + j];
      const std::string where =
          "rate from state " + std::to_string(i) + " to state " + std::to_string(j);
      if (!std::isfinite(r) || r < 0) fail(where + " must be finite and >= 0");
      if (i == j && r != 0) fail(where + " must be 0");
    }
  }
  if (!std::isfinite(s.frameTime) || !(s.frameTime > 0)) fail("frameTime must be finite and > 0");
  if (s.frames == 0) fail("frames must be at least 1");
  if (!std::isfinite(s.gaussianSigma) || s.gaussianSigma < 0) {
    fail("gaussianSigma must be finite and >= 0");
  }
  if (!std::isfinite(s.bleachRate) || s.bleachRate < 0) fail("bleachRate must be finite and >= 0");
  if (!std::isfinite(s.bleachedLevel)) fail("bleachedLevel must be finite");
  if (s.shotNoise) {
    for (double level : s.levels) {
      if (level < 0) fail("shot noise needs levels >= 0 (photon counts)");
    }
    if (s.bleachedLevel < 0) fail("shot noise needs bleachedLevel >= 0 (photon counts)");
  }
}

double exitRate(const std::vector<double>& rates, std::size_t n, std::size_t i) {
  double total = 0;
  for (std::size_t j = 0; j < n; ++j) total += rates[i * n + j];
  return total;
}

std::size_t drawState(Random& rng, const std::vector<double>& weights) {
  double total = 0;
  for (double w : weights) total += w;
  double u = rng.uniform() * total;
  for (std::size_t i = 0; i + 1 < weights.size(); ++i) {
    if (u < weights[i]) return i;
    u -= weights[i];
  }
  return weights.size() - 1;
}

// Visits of the chain up to `end` (seconds); the last one is cut at `end` and censored.
std::vector<TrueDwell> drawVisits(Random& rng, const KineticSettings& s, double end) {
  const std::size_t n = s.levels.size();
  std::vector<TrueDwell> visits;
  std::size_t state = drawState(rng, stationaryPopulations(s.rates, n));
  double t = 0;
  while (t < end) {
    const double exit = exitRate(s.rates, n, state);
    const double length = exit > 0 ? rng.exponential(exit) : end - t;
    const bool cut = t + length >= end;
    visits.push_back({static_cast<int>(state), t, cut ? end - t : length, cut});
    t += length;
    if (cut) break;
    std::vector<double> onward(s.rates.begin() + static_cast<std::ptrdiff_t>(state * n),
                               s.rates.begin() + static_cast<std::ptrdiff_t>((state + 1) * n));
    state = drawState(rng, onward);
  }
  return visits;
}

}  // namespace

std::vector<double> stationaryPopulations(const std::vector<double>& rates, std::size_t states) {
  const std::size_t n = states;
  double fastest = 0;
  for (std::size_t i = 0; i < n; ++i) fastest = std::max(fastest, exitRate(rates, n, i));
  std::vector<double> p(n, 1.0 / static_cast<double>(n));
  if (fastest == 0) return p;
  // P = I + Q / lambda with lambda above every exit rate: every state keeps some weight, so the
  // iteration cannot oscillate.
  const double lambda = 1.25 * fastest;
  std::vector<double> next(n);
  for (int iteration = 0; iteration < 100000; ++iteration) {
    for (std::size_t j = 0; j < n; ++j) {
      next[j] = p[j] * (1 - exitRate(rates, n, j) / lambda);
      for (std::size_t i = 0; i < n; ++i) next[j] += p[i] * rates[i * n + j] / lambda;
    }
    double change = 0;
    for (std::size_t j = 0; j < n; ++j) change = std::max(change, std::abs(next[j] - p[j]));
    p.swap(next);
    if (change < 1e-15) break;
  }
  return p;
}

KineticTrace simulateKinetics(const KineticSettings& s) {
  validate(s);
  Random rng(s.seed);
  const std::size_t frames = s.frames;
  const double dt = s.frameTime;
  const double traceEnd = static_cast<double>(frames) * dt;

  KineticTrace trace;
  if (s.bleachRate > 0) trace.bleachTime = rng.exponential(s.bleachRate);
  const bool bleaches = trace.bleachTime < traceEnd;
  trace.dwells = drawVisits(rng, s, bleaches ? trace.bleachTime : traceEnd);

  // Each exposure averages the levels it sees; the state shown is the one seen longest.
  trace.time.resize(frames);
  trace.ideal.resize(frames);
  trace.state.resize(frames);
  std::size_t visit = 0;
  std::vector<double> seen(s.levels.size() + 1);
  for (std::size_t f = 0; f < frames; ++f) {
    const double from = static_cast<double>(f) * dt;
    const double to = from + dt;
    trace.time[f] = from;
    std::fill(seen.begin(), seen.end(), 0.0);
    double sum = 0;
    for (std::size_t v = visit; v < trace.dwells.size(); ++v) {
      const TrueDwell& d = trace.dwells[v];
      const double overlap = std::min(to, d.start + d.duration) - std::max(from, d.start);
      if (d.start >= to) break;
      if (overlap > 0) {
        sum += overlap * s.levels[static_cast<std::size_t>(d.state)];
        seen[static_cast<std::size_t>(d.state)] += overlap;
      }
      if (d.start + d.duration <= to) visit = v + 1;
    }
    const double bleachedPart = std::clamp(to - std::max(from, trace.bleachTime), 0.0, dt);
    sum += bleachedPart * s.bleachedLevel;
    seen.back() = bleachedPart;
    const auto longest = std::max_element(seen.begin(), seen.end()) - seen.begin();
    const auto shown = static_cast<std::size_t>(longest);
    // A frame that sees one level only shows it exactly, free of rounding in the overlaps.
    const bool single =
        std::count(seen.begin(), seen.end(), 0.0) + 1 == static_cast<std::ptrdiff_t>(seen.size());
    if (single) {
      trace.ideal[f] = shown == s.levels.size() ? s.bleachedLevel : s.levels[shown];
    } else {
      trace.ideal[f] = sum / dt;
    }
    trace.state[f] = shown == s.levels.size() ? kBleached : static_cast<int>(shown);
  }

  trace.intensity.resize(frames);
  for (std::size_t f = 0; f < frames; ++f) {
    trace.intensity[f] = s.shotNoise ? rng.poisson(trace.ideal[f]) : trace.ideal[f];
  }
  if (s.gaussianSigma > 0) {
    for (std::size_t f = 0; f < frames; f += 2) {
      double z0 = 0;
      double z1 = 0;
      rng.normalPair(z0, z1);
      trace.intensity[f] += s.gaussianSigma * z0;
      if (f + 1 < frames) trace.intensity[f + 1] += s.gaussianSigma * z1;
    }
  }
  return trace;
}

}  // namespace lumetra
