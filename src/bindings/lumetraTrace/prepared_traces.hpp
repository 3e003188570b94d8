// The traces fitted last, each kept as its own copy of both columns with the nonstationarity
// component attached to its intensity, and the window streams of the half windows fitted last:
// fits of one trace for many settings (a parameter search) then neither copy nor prepare the
// trace again, nor recompute the streams of a half window they have met.
#pragma once

#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "nonstationarity.hpp"
#include "search_space.hpp"
#include "step_fit.hpp"

namespace lumetra::bindings::trace {

// One trace as the one-call fit reads it (NaN skipped). Its columns and component never change
// once built; the streams are kept under their own mutex.
class PreparedTrace {
 public:
  PreparedTrace(std::vector<double> frames, std::vector<double> samples);

  [[nodiscard]] const std::vector<double>& frames() const { return frames_; }
  [[nodiscard]] const std::vector<double>& samples() const { return samples_; }

  // windowStreams of this trace for one half window, computed once and kept while among the
  // most recently used; throws StepFitUnsupported as windowStreams does.
  std::shared_ptr<const lumetra::WindowStreams> streams(std::ptrdiff_t halfWinLen) const;

 private:
  // As many half windows as a search over the default bounds tries.
  static constexpr auto kKeptStreams = static_cast<std::size_t>(
      lumetra::kSearchParameters[0].max - lumetra::kSearchParameters[0].min + 1);
  std::vector<double> frames_;
  std::vector<double> samples_;
  lumetra::NonStationary component_;  // attached to samples_
  mutable std::mutex mutex_;
  mutable std::list<std::shared_ptr<const lumetra::WindowStreams>> streams_;  // most recent first
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
