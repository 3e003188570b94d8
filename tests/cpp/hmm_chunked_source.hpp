// Traces held in chunks elsewhere, for the tests of hmm_source.cpp and the bootstraps: each
// chunk's E-step and trace tallies in their flat form, as another process would send them, the
// chunks' tallies summed (their rows joined) in chunk order.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "hmm_source.hpp"

namespace lumetra::hmmtest {

class ChunkedSource final : public ExpectationSource {
 public:
  ChunkedSource(TraceSpans traces, std::size_t chunks) : all_(traces, 1, true), traces_(traces) {
    for (std::size_t c = 0; c <= chunks; ++c) bounds_.push_back(c * traces.size() / chunks);
  }
  [[nodiscard]] std::size_t traces() const override { return traces_.size(); }
  [[nodiscard]] std::vector<std::size_t> observedFrames() const override {
    return all_.observedFrames();
  }
  [[nodiscard]] double dataSpread() const override { return all_.dataSpread(); }
  hmmdetail::Tally expectation(const HmmModel& model, bool /*full*/, bool perTrace,
                               std::span<const double> /*weights*/) override {
    const std::size_t k = model.states(), fixed = flatTallySize(k);
    std::vector<double> sum(fixed, 0.0);
    for (std::size_t c = 0; c + 1 < bounds_.size(); ++c) {
      const std::vector<double> flat =
          flatExpectation(chunk(c), chunkModel(model, c), true, perTrace, 1);
      for (std::size_t i = 0; i < fixed; ++i) sum[i] += flat[i];
      sum.insert(sum.end(), flat.begin() + static_cast<std::ptrdiff_t>(fixed), flat.end());
    }
    if (wrongSize) sum.pop_back();
    return tallyOfFlat(sum, k, perTrace ? traces_.size() : 0);
  }
  std::vector<hmmdetail::Tally> traceTallies(const HmmModel& model) override {
    std::vector<double> rows;
    for (std::size_t c = 0; c + 1 < bounds_.size(); ++c) {
      const std::vector<double> flat = flatTraceTallies(chunk(c), chunkModel(model, c), true, 1);
      rows.insert(rows.end(), flat.begin(), flat.end());
    }
    return traceTalliesOfFlat(rows, model.states(), traces_.size());
  }
  bool wrongSize = false;

 private:
  [[nodiscard]] TraceSpans chunk(std::size_t c) const {
    return traces_.subspan(bounds_[c], bounds_[c + 1] - bounds_[c]);
  }
  // The model with the chunk's own trace scales.
  [[nodiscard]] HmmModel chunkModel(const HmmModel& model, std::size_t c) const {
    HmmModel own = model;
    if (!model.traceScales.empty()) {
      own.traceScales.assign(
          model.traceScales.begin() + static_cast<std::ptrdiff_t>(bounds_[c]),
          model.traceScales.begin() + static_cast<std::ptrdiff_t>(bounds_[c + 1]));
    }
    return own;
  }

  SpanSource all_;
  TraceSpans traces_;
  std::vector<std::size_t> bounds_;
};

}  // namespace lumetra::hmmtest
