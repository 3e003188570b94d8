// Simulation of traces from a kinetic scheme: a continuous-time Markov chain between 2 to 4
// states with given rate constants, seen through a camera with a fixed frame time, shot and
// Gaussian noise, and donor photobleaching. Every draw comes from Random (random.hpp), so a seed
// gives the same trace with any standard library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace lumetra {

struct KineticSettings {
  // Intensity of each state; 2 to 4 states, all finite.
  std::vector<double> levels;
  // Rate constants in 1/s, row-major: rates[i * n + j] is the rate from state i to state j.
  // Finite and >= 0; the diagonal must be 0.
  std::vector<double> rates;
  double frameTime = 0.1;  // seconds per frame, > 0
  std::size_t frames = 0;  // >= 1
  // Each frame counts photons: a Poisson draw around the exposure-averaged intensity.
  bool shotNoise = false;
  double gaussianSigma = 0;  // additive read-out noise, >= 0
  double bleachRate = 0;     // donor photobleaching rate in 1/s; 0 never bleaches
  double bleachedLevel = 0;  // intensity after bleaching
  std::uint64_t seed = 0;
};

inline constexpr int kBleached = -1;

struct TrueDwell {
  int state;
  double start;     // seconds
  double duration;  // seconds, up to the end of the trace or the bleaching for the last one
  bool censored;    // cut short by the end of the trace or by bleaching
};

struct KineticTrace {
  std::vector<double> time;       // frame * frameTime, the start of each exposure
  std::vector<double> ideal;      // noiseless intensity averaged over each exposure
  std::vector<double> intensity;  // ideal with shot and Gaussian noise
  std::vector<int> state;         // state that fills most of each exposure; kBleached after
  std::vector<TrueDwell> dwells;  // every visit in time order
  // Time of donor bleaching; infinity when it happens after the trace.
  double bleachTime = std::numeric_limits<double>::infinity();
};

// The stationary populations of the scheme (uniformisation and power iteration; for a scheme
// that is not irreducible, the limit reached from equal populations).
std::vector<double> stationaryPopulations(const std::vector<double>& rates, std::size_t states);

// Simulates one trace. The first state is drawn from the stationary populations; each visit lasts
// an exponential time with the state's total exit rate and moves on to state j with probability
// rate(i, j) / exit rate. A state without exits is kept to the end. Throws std::invalid_argument
// naming the offending field.
KineticTrace simulateKinetics(const KineticSettings& s);

}  // namespace lumetra
