// The query side of the popcount estimator.
//
// For a query q and a probed cluster with centroid c, the rotated query
// residual is q' = P q - P c (the rotation is applied to q once per search;
// rotated centroids are kept by the segment). QueryLut quantises q' to
// 4 bits per coordinate,
//
//   lo = min_i q'_i,  delta = (max_i q'_i - lo) / 15,
//   qq_i = round((q'_i - lo) / delta) in [0, 15],  q~_i = lo + delta * qq_i,
//
// and stores the 4 bit-planes of qq in the layout of the row codes. With a
// row's codes u (cv = u - m, m = (2^b - 1) / 2) and factors (bitplane_codec.h),
//
//   <q~, cv> = delta * S + lo * code_sum - m * sum_i q~_i,
//   S = sum_{j<b, k<4} 2^(j+k) * popcount(rowplane_j AND queryplane_k)   (= sum_i qq_i u_i)
//
// is exact for the quantised query, and the estimated squared distance is
//
//   est = ||q'||^2 + norm^2 - 2 * ip_scale * <q~, cv>.
//
// Two errors separate est from the true ||q' - o||^2, both from the
// estimate of <q', o>: the row's code (standard deviation err * ||q'||) and
// the query's rounding e = q' - q~ (standard deviation at most
// (norm + err * sqrt(D - 1)) * ||e|| / sqrt(D), i.e. below
// err * ||e|| + norm * ||e|| / sqrt(D)). Adding the two deviations bounds
// their combined deviation, so the lower bound is
//
//   lb = est - 2 * kConfidence * (err * (||q'|| + ||e||) + norm * ||e|| / sqrt(D)).
//
// Neither value is clamped at 0. docs/estimator.md derives all of this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ivf_rabitq/bitplane_codec.h"
#include "ivf_rabitq/kernels.h"

namespace nimbrel {

class QueryLut {
 public:
  // Number of standard deviations the lower bound lies below the estimate.
  static constexpr float kConfidence = 3.0f;

  QueryLut() = default;
  // `rotated_residual`: q' (padded_dim values). `residual_norm2`: ||q'||^2
  // (the caller usually has it as the exact query-to-centroid distance).
  // Reuses its buffers: preparing the same QueryLut for every probed list
  // allocates only once.
  void prepare(const float* rotated_residual, size_t padded_dim, unsigned bits, float residual_norm2);

  // Estimated squared distance and its lower bound for `n` consecutive rows
  // whose codes start at `codes` (code_bytes_for(padded_dim, bits) bytes
  // each) and whose factors start at `factors`. `lower_bound` may be null.
  void estimate(const uint8_t* codes, const RowFactors* factors, size_t n, float* est,
                float* lower_bound) const;
  // Estimates (no lower bounds) of `n` consecutive rows of a list whose
  // first `blocked` rows (a multiple of 32, at most n) sit in 32-row blocks
  // and the rest one after another (bitplane_codec.h); `codes` starts at a
  // block boundary. The estimates equal estimate()'s for the same rows.
  void estimate_run(const uint8_t* codes, const RowFactors* factors, size_t n, size_t blocked,
                    float* est) const;
  // Single-row convenience form of estimate().
  float estimate_one(const uint8_t* code, const RowFactors& f, float* lower_bound) const;

  // The kernel arguments, for tests that drive a kernel table directly.
  kernels::EstimatorQuery kernel_query() const;

  size_t padded_dim() const { return padded_dim_; }
  unsigned bits() const { return bits_; }

 private:
  size_t padded_dim_ = 0;
  unsigned bits_ = 0;
  float lo_ = 0, delta_ = 0;
  float sum_q_ = 0;      // sum of the quantised values q~_i
  float norm2_ = 0;      // ||q'||^2 as given
  float norm_ = 0;       // ||q'||
  float round_err_ = 0;  // ||e|| = ||q' - q~||
  size_t rep_words_ = 0;
  std::vector<uint8_t> qq_;          // the quantised values, scratch of prepare
  std::vector<uint64_t> planes_;     // 4 planes of padded_dim / 64 words
  std::vector<uint64_t> rep_;        // kernels::EstimatorQuery::rep
  std::vector<uint64_t> rep_shift_;  // kernels::EstimatorQuery::rep_shift
  std::vector<uint8_t> nibble_lut_;  // kernels::EstimatorQuery::nibble_lut
};

}  // namespace nimbrel
