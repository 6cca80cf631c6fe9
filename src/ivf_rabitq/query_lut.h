// The query side of the popcount estimator.
//
// For a query q and a probed cluster with centroid c, the rotated query
// residual is q' = P q - P c (the rotation is applied to q once per search;
// rotated centroids are kept by the segment). QueryLut quantises q' to
// 4 bits per coordinate, qq_i = round((q'_i - lo) / delta) in [0, 15], and
// stores the 4 bit-planes of qq in the layout of the row codes. Then
//
//   <q', cv> ~= delta * S + lo * code_sum - m * sum_i q'_i,
//   S = sum_{j<b, k<4} 2^(j+k) * popcount(rowplane_j AND queryplane_k)
//
// and the estimated squared distance of a row is
//   est = ||q'||^2 + norm^2 - 2 * ip_scale * <q', cv>
// with the lower bound
//   lb = est - 2 * kConfidence * (err * ||q'|| + query_err * norm)
// where query_err = delta / sqrt(12) * sqrt(D) / sqrt(D) ... accounts for
// the 4-bit rounding of q' (see docs/estimator.md for the exact form).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ivf_rabitq/bitplane_codec.h"

namespace nimbrel {

class QueryLut {
 public:
  // Number of standard deviations the lower bound lies below the estimate.
  static constexpr float kConfidence = 3.0f;

  QueryLut() = default;
  // `rotated_residual`: q' (padded_dim values). `residual_norm2`: ||q'||^2
  // (the caller usually has it as the exact query-to-centroid distance).
  void prepare(const float* rotated_residual, size_t padded_dim, unsigned bits, float residual_norm2);

  // Estimated squared distance and its lower bound for `n` consecutive rows
  // whose codes start at `codes` (code_bytes_for(padded_dim, bits) bytes
  // each) and whose factors start at `factors`.
  void estimate(const uint8_t* codes, const RowFactors* factors, size_t n, float* est,
                float* lower_bound) const;
  // Single-row convenience form of estimate().
  float estimate_one(const uint8_t* code, const RowFactors& f, float* lower_bound) const;

  size_t padded_dim() const { return padded_dim_; }
  unsigned bits() const { return bits_; }

 private:
  size_t padded_dim_ = 0;
  unsigned bits_ = 0;
  float lo_ = 0, delta_ = 0, sum_q_ = 0, norm2_ = 0, norm_ = 0, query_err_ = 0;
  std::vector<uint64_t> planes_;  // 4 planes of padded_dim / 64 words
};

}  // namespace nimbrel
