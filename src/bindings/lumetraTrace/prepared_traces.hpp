// The nonstationarity components of the traces fitted last, each with its trace attached:
// fits of one trace for many settings (a parameter search) then skip preparing the trace
// again.
#pragma once

#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "nonstationarity.hpp"

namespace lumetra::bindings::trace {

// Used without the GIL, so that threads fitting different traces run side by side; the mutex
// guards the list, and a component, never changed once built, lives as long as a fit holds it.
class PreparedTraces {
 public:
  // The component prepared for these samples (compared bit for bit), built when none is kept.
  std::shared_ptr<const lumetra::NonStationary> componentFor(const std::vector<double>& samples);

 private:
  static constexpr std::size_t kCapacity = 4;
  struct Entry {
    std::vector<double> samples;
    std::shared_ptr<const lumetra::NonStationary> component;
  };
  std::mutex mutex_;
  std::list<Entry> entries_;  // most recently used first
};

// The one cache of the process.
PreparedTraces& preparedTraces();

}  // namespace lumetra::bindings::trace
