#include "hmm_source.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "hmm_chunked_source.hpp"
#include "hmm_testing.hpp"

namespace lumetra {
namespace {

using hmmtest::ChunkedSource;

TEST(HmmSource, ChunksOfTracesFitTheModelOfTheTracesInOneProcess) {
  // The default noise model: frame blur, a noise scale per trace and the outlier term.
  auto traces = hmmtest::simulateBlurred(0.1, 0.0666, 30, 400, 0.06, 23);
  for (std::size_t n = 0; n < traces.size(); n += 3) {
    for (double& x : traces[n]) x = 0.5 + 2 * (x - 0.5);  // louder molecules
  }
  traces[4][17] = 9.0;
  traces[7][50] = std::nan("");
  HmmModel start{{0.25, 0.75}, {0.1, 0.1}, {0.5, 0.5}, {0.9, 0.1, 0.1, 0.9}};
  start.outlierShare = 0.01;
  start.outlierDensity = 1.0 / 3;
  HmmOptions options;
  options.frameBlur = true;
  options.fitTraceScales = true;
  options.fitOutliers = true;
  options.threads = 1;
  const auto spans = hmmtest::spans(traces);
  const HmmFit local = fitHmm(spans, start, options);
  ASSERT_TRUE(local.converged);

  // One chunk: the tallies go through their flat form unchanged, the fit is the same bit for bit.
  ChunkedSource one(spans, 1);
  const HmmFit same = fitHmm(one, start, options);
  EXPECT_EQ(same.model.means, local.model.means);
  EXPECT_EQ(same.model.transition, local.model.transition);
  EXPECT_EQ(same.model.traceScales, local.model.traceScales);
  EXPECT_EQ(same.logLikelihood, local.logLikelihood);
  EXPECT_EQ(same.iterations, local.iterations);
  EXPECT_EQ(same.frames, local.frames);

  // Three chunks differ only by the order their tallies are summed in.
  ChunkedSource three(spans, 3);
  const HmmFit chunked = fitHmm(three, start, options);
  ASSERT_TRUE(chunked.converged);
  for (std::size_t s = 0; s < 2; ++s)
    EXPECT_NEAR(chunked.model.means[s], local.model.means[s], 1e-9);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_NEAR(chunked.model.transition[i], local.model.transition[i], 1e-9);
  }
  for (std::size_t n = 0; n < traces.size(); ++n) {
    EXPECT_NEAR(chunked.model.traceScales[n], local.model.traceScales[n], 1e-9);
  }
  EXPECT_NEAR(chunked.model.outlierShare, local.model.outlierShare, 1e-9);
  EXPECT_NEAR(chunked.logLikelihood, local.logLikelihood, 1e-6);

  three.wrongSize = true;
  EXPECT_THROW(fitHmm(three, start, options), std::invalid_argument);
}

}  // namespace
}  // namespace lumetra
