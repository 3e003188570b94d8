// The traces fitted last, each kept as its own copy of both columns with the nonstationarity
// component attached to its intensity: fits of one trace for many settings (a parameter search)
// then neither copy nor prepare the trace again.
#pragma once

#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "nonstationarity.hpp"

namespace lumetra::bindings::trace {

// One trace as the fit reads it; never changed once built.
struct PreparedTrace {
  std::vector<double> frames;
  std::vector<double> samples;
  lumetra::NonStationary component;  // attached to `samples`
};

// Used without the GIL, so that threads fitting different traces run side by side; the mutex
// guards the list, and a trace lives as long as a fit holds it.
class PreparedTraces {
 public:
  // The kept trace with exactly these columns (compared bit for bit), or nullptr.
  std::shared_ptr<const PreparedTrace> find(std::span<const double> frames,
                                            std::span<const double> samples);
  // Prepares a trace of these columns and keeps it.
  std::shared_ptr<const PreparedTrace> add(std::vector<double> frames, std::vector<double> samples);

 private:
  static constexpr std::size_t kCapacity = 4;
  std::mutex mutex_;
  std::list<std::shared_ptr<const PreparedTrace>> entries_;  // most recently used first
};

// The one cache of the process.
PreparedTraces& preparedTraces();

}  // namespace lumetra::bindings::trace
