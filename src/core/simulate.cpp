#include "simulate.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "random.hpp"

namespace lumetra {
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::invalid_argument("simulateTrace: " + what);
}

std::string show(double v) {
  std::ostringstream os;
  os << v;
  return os.str();
}

void validate(const SimulationSettings& s) {
  if (s.levels.empty()) fail("levels must contain at least one level");
  if (s.meanDwell.size() != s.levels.size()) {
    fail("meanDwell has " + std::to_string(s.meanDwell.size()) + " entries but levels has " +
         std::to_string(s.levels.size()) + "; give one mean dwell per level");
  }
  for (std::size_t i = 0; i < s.levels.size(); ++i) {
    if (!std::isfinite(s.levels[i])) {
      fail("levels[" + std::to_string(i) + "] must be finite (got " + show(s.levels[i]) + ")");
    }
    if (!std::isfinite(s.meanDwell[i]) || !(s.meanDwell[i] > 0)) {
      fail("meanDwell[" + std::to_string(i) + "] must be finite and > 0 (got " +
           show(s.meanDwell[i]) + ")");
    }
  }
  if (!std::isfinite(s.noiseSigma) || !(s.noiseSigma >= 0)) {
    fail("noiseSigma must be finite and >= 0 (got " + show(s.noiseSigma) + ")");
  }
  if (s.frames == 0) fail("frames must be at least 1");
  if (!std::isfinite(s.frameStep) || !(s.frameStep > 0)) {
    fail("frameStep must be finite and > 0 (got " + show(s.frameStep) + ")");
  }
}

// Appends the shortest decimal form of v that parses back to the same double.
void appendNumber(std::string& line, double v) {
  std::array<char, 64> buf;
  const auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), v);
  if (ec != std::errc()) throw std::runtime_error("writeTraceFile: cannot format number");
  line.append(buf.data(), end);
}

}  // namespace

SimulatedTrace simulateTrace(const SimulationSettings& s) {
  validate(s);
  const std::size_t n = s.frames;
  const std::size_t numLevels = s.levels.size();
  Random rng(s.seed);

  SimulatedTrace t;
  t.time.resize(n);
  t.ideal.resize(n);
  t.intensity.resize(n);
  for (std::size_t i = 0; i < n; ++i) t.time[i] = static_cast<double>(i) * s.frameStep;

  // Ideal trajectory first, so that the noise never shifts the level sequence.
  std::size_t level = rng.index(numLevels);
  std::size_t frame = 0;
  while (frame < n) {
    const std::size_t k = numLevels == 1 ? n - frame : rng.dwell(s.meanDwell[level], n - frame);
    for (std::size_t end = frame + k; frame < end; ++frame) t.ideal[frame] = s.levels[level];
    if (frame < n) {
      // Uniform over the other numLevels - 1 levels.
      const std::size_t next = rng.index(numLevels - 1);
      level = next >= level ? next + 1 : next;
    }
  }

  if (s.noiseSigma == 0) {
    t.intensity = t.ideal;
    return t;
  }
  for (std::size_t i = 0; i < n; i += 2) {
    double z0 = 0;
    double z1 = 0;
    rng.normalPair(z0, z1);
    t.intensity[i] = t.ideal[i] + s.noiseSigma * z0;
    if (i + 1 < n) t.intensity[i + 1] = t.ideal[i + 1] + s.noiseSigma * z1;
  }
  return t;
}

void writeTraceFile(std::ostream& out, const SimulatedTrace& t) {
  const std::size_t n = t.time.size();
  if (t.intensity.size() != n || t.ideal.size() != n) {
    throw std::invalid_argument(
        "writeTraceFile: time, intensity and ideal have different lengths (" + std::to_string(n) +
        ", " + std::to_string(t.intensity.size()) + ", " + std::to_string(t.ideal.size()) + ")");
  }
  out << "Frame/10\tCH1-BGND1\tIdeal\n";
  std::string line;
  for (std::size_t i = 0; i < n; ++i) {
    line.clear();
    appendNumber(line, t.time[i]);
    line += '\t';
    appendNumber(line, t.intensity[i]);
    line += '\t';
    appendNumber(line, t.ideal[i]);
    line += '\n';
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
  }
  if (!out) throw std::runtime_error("writeTraceFile: writing to the output stream failed");
}

}  // namespace lumetra
