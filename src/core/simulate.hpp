// Simulation of single-molecule intensity traces: piecewise-constant (step) trajectories
// between a set of intensity levels, with exponentially distributed dwell times and additive
// Gaussian noise. Every random draw is derived from the raw output of std::mt19937_64, so a
// given seed yields the same trace regardless of the standard library in use.
#ifndef LUMETRA_CORE_SIMULATE_HPP_
#define LUMETRA_CORE_SIMULATE_HPP_

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <vector>

namespace lumetra {

struct SimulationSettings {
  // Intensity of each level; at least one, all finite.
  std::vector<double> levels;
  // Mean dwell time of each level, in frames; same length as `levels`, each finite and > 0.
  // A dwell lasts at least one frame, so a mean below 1 behaves like a mean of 1.
  std::vector<double> meanDwell;
  // Standard deviation of the additive Gaussian noise; finite and >= 0.
  double noiseSigma = 0;
  // Number of frames; at least 1.
  std::size_t frames = 0;
  // Time between frames; finite and > 0. The time of frame i is i * frameStep.
  double frameStep = 0.1;
  std::uint64_t seed = 0;
};

struct SimulatedTrace {
  std::vector<double> time;       // frame * frameStep
  std::vector<double> intensity;  // ideal + noise
  std::vector<double> ideal;      // noiseless level of each frame
};

// Simulates one trace.
//
// The start level is drawn uniformly among all levels. Each visit to a level lasts a whole
// number of frames k >= 1 drawn from a geometric distribution with mean meanDwell[level], which
// is the ceiling of an exponential draw whose rate is chosen so that the mean in frames is exactly
// the setting. When a visit ends, the next level is drawn uniformly among the other levels, so
// consecutive visits never share a level index. The last visit is cut off at the end of the trace.
//
// The whole ideal trajectory is drawn before the noise, so two runs with the same seed and
// different noiseSigma share the same ideal trajectory. With noiseSigma == 0 no noise is drawn
// and intensity equals ideal exactly.
//
// Throws std::invalid_argument naming the offending field if the settings are invalid.
SimulatedTrace simulateTrace(const SimulationSettings& s);

// Writes a trace as tab-separated text: the header line "Frame/10\tCH1-BGND1\tIdeal", then one
// line per frame with time, intensity and ideal. Numbers are printed in the shortest form that
// reads back to the identical double. Throws std::invalid_argument if the three columns differ in
// length, and std::runtime_error if the stream fails.
void writeTraceFile(std::ostream& out, const SimulatedTrace& t);

}  // namespace lumetra

#endif  // LUMETRA_CORE_SIMULATE_HPP_
