#include "prepared_traces.hpp"

#include <cstring>

namespace lumetra::bindings::trace {

namespace {

bool sameBits(const std::vector<double>& kept, std::span<const double> values) {
  return kept.size() == values.size() &&
         std::memcmp(kept.data(), values.data(), values.size() * sizeof(double)) == 0;
}

}  // namespace

PreparedTrace::PreparedTrace(std::vector<double> frames, std::vector<double> samples)
    : frames_(std::move(frames)), samples_(std::move(samples)) {
  component_.setData(samples_);
}

std::shared_ptr<const lumetra::WindowStreams> PreparedTrace::streams(
    std::ptrdiff_t halfWinLen) const {
  {
    const std::lock_guard lock(mutex_);
    for (auto it = streams_.begin(); it != streams_.end(); ++it) {
      if ((*it)->halfWinLen == halfWinLen) {
        streams_.splice(streams_.begin(), streams_, it);
        return *it;
      }
    }
  }
  // Computed outside the lock; two threads meeting a new half window at once both compute it.
  auto computed = std::make_shared<const lumetra::WindowStreams>(
      lumetra::windowStreams(frames_, samples_, lumetra::NaNRule::skip, component_, halfWinLen));
  const std::lock_guard lock(mutex_);
  streams_.push_front(computed);
  if (streams_.size() > kKeptStreams) streams_.pop_back();
  return computed;
}

std::shared_ptr<const PreparedTrace> PreparedTraces::find(std::span<const double> frames,
                                                          std::span<const double> samples) {
  const std::lock_guard lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (sameBits((*it)->samples(), samples) && sameBits((*it)->frames(), frames)) {
      entries_.splice(entries_.begin(), entries_, it);
      return *it;
    }
  }
  return nullptr;
}

std::shared_ptr<const PreparedTrace> PreparedTraces::add(std::vector<double> frames,
                                                         std::vector<double> samples) {
  auto trace = std::make_shared<const PreparedTrace>(std::move(frames), std::move(samples));
  const std::lock_guard lock(mutex_);
  entries_.push_front(trace);
  if (entries_.size() > kCapacity) entries_.pop_back();
  return trace;
}

PreparedTraces& preparedTraces() {
  static PreparedTraces cache;
  return cache;
}

}  // namespace lumetra::bindings::trace
