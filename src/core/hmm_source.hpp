// Baum-Welch over any source of E-steps: what the fit needs of its traces is their number, each
// one's observed frames, the spread of all frames and the tallies of an E-step at a model. The
// traces may be spans in this process (SpanSource, what fitHmm of hmm.hpp uses) or held
// elsewhere (on other machines), the tallies then travelling as flat vectors: chunks of traces
// give tallies whose fixed parts add and whose per-trace parts follow one another in trace order.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "hmm.hpp"
#include "hmm_maximisation.hpp"

namespace lumetra {

class ExpectationSource {
 public:
  virtual ~ExpectationSource() = default;

  [[nodiscard]] virtual std::size_t traces() const = 0;
  // Non-NaN frames of each trace.
  [[nodiscard]] virtual std::vector<std::size_t> observedFrames() const = 0;
  // The spread of all non-NaN frames (hmmdetail::dataSpread).
  [[nodiscard]] virtual double dataSpread() const = 0;
  // The E-step at `model`: with `full` false only the log-likelihood need be right; `perTrace`:
  // each trace's emission tallies too; `weights`: how many times each trace counts (empty: once).
  virtual hmmdetail::Tally expectation(const HmmModel& model, bool full, bool perTrace,
                                       std::span<const double> weights) = 0;
  // Each trace's complete tally at `model` (no per-trace tallies), in trace order: what the
  // linearised bootstrap resamples.
  virtual std::vector<hmmdetail::Tally> traceTallies(const HmmModel& model) = 0;
};

// The traces as spans in this process, the E-step split over threads (0: one per hardware
// thread), with or without frame blur. The spans must outlive the source.
class SpanSource final : public ExpectationSource {
 public:
  // Throws std::invalid_argument as fitHmm for no trace, a trace without frames, or no frame.
  SpanSource(TraceSpans traces, unsigned threads, bool frameBlur);
  [[nodiscard]] std::size_t traces() const override { return traces_.size(); }
  [[nodiscard]] std::vector<std::size_t> observedFrames() const override;
  [[nodiscard]] double dataSpread() const override;
  hmmdetail::Tally expectation(const HmmModel& model, bool full, bool perTrace,
                               std::span<const double> weights) override;
  std::vector<hmmdetail::Tally> traceTallies(const HmmModel& model) override;

 private:
  TraceSpans traces_;
  unsigned threads_;
  bool frameBlur_;
};

// Baum-Welch from `initial` with the E-steps of `source` (options.threads and frameBlur are the
// source's business). Throws std::invalid_argument as fitHmm of hmm.hpp for a malformed model,
// no trace or no observed frame; what the source throws passes through.
HmmFit fitHmm(ExpectationSource& source, const HmmModel& initial, const HmmOptions& options = {});

// A tally as one vector: start (k), transitions (k x k), occupancy, sumX, sumXX (k each), the
// log-likelihood, the outliers, then per trace its 3 k per-trace tallies.
std::vector<double> flatTally(const hmmdetail::Tally& tally);

// The entries of a flat tally of k states and `traces` per-trace tallies (0: none).
inline std::size_t flatTallySize(std::size_t k, std::size_t traces = 0) {
  return 4 * k + k * k + 2 + 3 * k * traces;
}

// The tally of a flat vector of k states and `traces` per-trace tallies (0: none); throws
// std::invalid_argument when the size does not match.
hmmdetail::Tally tallyOfFlat(std::span<const double> flat, std::size_t k, std::size_t traces);

// The flat tally of the E-step over these traces at `model` (its trace scales, if any, those
// traces' own); the checks of fitHmm.
std::vector<double> flatExpectation(TraceSpans traces, const HmmModel& model, bool frameBlur,
                                    bool perTrace, unsigned threads = 0);

// Each trace's complete tally as one row of flatTallySize(k) entries (flatTally's fixed part;
// per-trace tallies are left out), the rows in trace order: chunks of traces give rows that
// follow one another.
std::vector<double> flatTraceTallies(const std::vector<hmmdetail::Tally>& tallies);

// The tallies of `traces` rows of k states; throws std::invalid_argument when the size does not
// match.
std::vector<hmmdetail::Tally> traceTalliesOfFlat(std::span<const double> flat, std::size_t k,
                                                 std::size_t traces);

// The rows of each of these traces' tally at `model` (its trace scales, if any, those traces'
// own); the checks of fitHmm.
std::vector<double> flatTraceTallies(TraceSpans traces, const HmmModel& model, bool frameBlur,
                                     unsigned threads = 0);

}  // namespace lumetra
