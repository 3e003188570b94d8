// Nonstationarity scores of windows of a single-molecule trace.
//
// Every score compares two groups of the finite samples of a window (NaN and +-inf are skipped):
//
//   NSLocaltoGlobal      centre split, left = x[0:n/2], right = x[n/2:n], squared difference of
//                        the group means over sigma^2 * (1/len(left) + 1/len(right)), where sigma
//                        is the robust noise level of the whole trace.  Mean 1 under stationary
//                        Gaussian noise; a level change D at the centre gives about D^2 n / (4
//                        sigma^2).
//   NSLefttoRight        the same split scored with the window's own pooled within-half variance
//                        (the squared two-sample t statistic).
//   NSdichotomy          the largest centre-split score (global sigma) over the window, its halves,
//                        their halves, ... while a part holds at least 4 samples.
//   NSCircleLefttoRight  the window read as a circle: the largest score (global sigma) of an arc of
//                        n/2 consecutive samples against the rest, over all rotations.
//
// Scores are finite and >= 0.  A constant window, a window with fewer than 2 finite samples on
// either side, and (for the sigma based scores) a trace whose noise level is 0 all score 0.  A
// nonzero difference over a zero variance scores kNsScoreCap, which also caps every larger score.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace lumetra {

enum class NsAlgo { LocalToGlobal, LeftToRight, Dichotomy, CircleLeftToRight };

// Upper bound of every score; returned for a nonzero difference over a zero variance.
inline constexpr double kNsScoreCap = 1e150;

// "NSLocaltoGlobal", "NSLefttoRight", "NSdichotomy" or "NSCircleLefttoRight" (case sensitive).
// Throws std::invalid_argument naming the unknown algorithm otherwise.
NsAlgo parseNsAlgo(std::string_view name);

// Robust noise level of a trace: 1.4826 * MAD(d) / sqrt(2) over the first differences d of
// consecutive finite samples, falling back to the population standard deviation of d / sqrt(2)
// when the MAD is 0.  Returns 0 when neither is positive or there are fewer than 2 finite samples.
double robustNoiseSigma(std::span<const double> samples);

class NonStationary {
 public:
  // Window length used by callers of stream(); must be >= 0 (throws std::invalid_argument).
  void setupDS(std::ptrdiff_t windowsLen);
  // Attaches a whole trace and builds everything the per-window scores need (O(n log n) at most).
  void setData(std::vector<double> samples);

  [[nodiscard]] const std::vector<double>& data() const noexcept;
  [[nodiscard]] std::ptrdiff_t windowsLen() const noexcept;
  // Robust noise level of the attached trace, see robustNoiseSigma().
  [[nodiscard]] double sigma() const noexcept;

  // Score of data()[start:end] with Python slice semantics: negative indices count from the end,
  // both are clipped to [0, size], and start >= end is an empty window (score 0).
  // NSLocaltoGlobal costs O(1), the other scores O(window length).
  [[nodiscard]] double nsFuncRange(NsAlgo algo, std::ptrdiff_t start, std::ptrdiff_t end) const;

  // out[i] = nsFuncRange(algo, i, i + windowsLen), bit for bit, for every i < out.size().
  void stream(NsAlgo algo, std::ptrdiff_t windowsLen, std::span<double> out) const;

 private:
  // Running sum held as the unevaluated pair hi + lo (hi rounded, lo its accumulated error).
  struct PrefixSum {
    double hi;
    double lo;
  };

  // Ranks [a, b) in the finite subsequence of the slice data()[start:end].
  struct RankRange {
    std::ptrdiff_t a;
    std::ptrdiff_t b;
  };

  [[nodiscard]] RankRange finiteRanks(std::ptrdiff_t start, std::ptrdiff_t end) const noexcept;
  [[nodiscard]] bool isFlat(std::ptrdiff_t a, std::ptrdiff_t b) const noexcept;
  [[nodiscard]] double rangeSum(std::ptrdiff_t a, std::ptrdiff_t b) const noexcept;
  [[nodiscard]] double splitScore(double sumLeft, std::ptrdiff_t nLeft, double sumRight,
                                  std::ptrdiff_t nRight) const noexcept;
  [[nodiscard]] double dyadicMax(std::ptrdiff_t lo, std::ptrdiff_t hi) const noexcept;

  [[nodiscard]] double localToGlobal(std::ptrdiff_t a, std::ptrdiff_t b) const noexcept;
  [[nodiscard]] double leftToRight(std::ptrdiff_t a, std::ptrdiff_t b) const noexcept;
  [[nodiscard]] double dichotomy(std::ptrdiff_t a, std::ptrdiff_t b) const noexcept;
  [[nodiscard]] double circleLeftToRight(std::ptrdiff_t a, std::ptrdiff_t b) const noexcept;

  std::vector<double> data_;
  std::ptrdiff_t windowsLen_ = 0;
  double sigma_ = 0.0;
  // All working values are the samples times one power of two 2^-e, which brings the largest
  // magnitude into [0.5, 1): exact, and it keeps sums and squares clear of overflow.
  double sigmaScaled_ = 0.0;
  double invSigmaScaled_ = 0.0;
  std::vector<std::ptrdiff_t> rankBefore_;  // rankBefore_[p] = finite samples in data_[0:p]
  std::vector<double> finite_;              // finite samples in order, scaled
  std::vector<std::ptrdiff_t> runEnd_;  // first rank after k whose value differs from finite_[k]
  std::vector<PrefixSum> prefix_;       // prefix sums of finite_ minus its median
};

}  // namespace lumetra
