#include "ivf_rabitq/query_lut.h"

#include <cmath>


namespace nimbrel {


void QueryLut::prepare(const float* q, size_t padded_dim, unsigned bits, float residual_norm2) {
  const size_t words = padded_dim / 64;
  padded_dim_ = padded_dim;
  bits_ = bits;

  float lo = 0, hi = 0;
  if (padded_dim > 0) lo = hi = q[0];
  for (size_t i = 1; i < padded_dim; ++i) {
    lo = q[i] < lo ? q[i] : lo;
    hi = q[i] > hi ? q[i] : hi;
  }
  float delta = (hi - lo) / 15.0f;
  if (!std::isfinite(lo) || !std::isfinite(delta) || !(delta > 0)) {
    // A constant residual is represented exactly by lo alone (delta 0);
    // a non-finite one cannot be represented at all and gets zeros.
    delta = 0;
    if (!std::isfinite(lo)) lo = 0;
  }
  const float inv_delta = delta > 0 ? 1.0f / delta : 0.0f;

  // First the 4-bit values, then the tables a kernel builds from them. The
  // rounding error (for the lower bound) sums in 16 float partial sums, so
  // that the loop vectorises.
  qq_.resize(padded_dim);
  uint64_t sum_qq = 0;
  float err2[16] = {};
  for (size_t at = 0; at < padded_dim; at += 16) {
    uint32_t block_sum = 0;
    for (size_t l = 0; l < 16; ++l) {
      const size_t i = at + l;
      int qq = delta > 0 ? static_cast<int>((q[i] - lo) * inv_delta + 0.5f) : 0;
      qq = qq < 0 ? 0 : (qq > 15 ? 15 : qq);
      qq_[i] = static_cast<uint8_t>(qq);
      block_sum += static_cast<uint32_t>(qq);
      const float e = q[i] - (lo + delta * static_cast<float>(qq));
      err2[l] += e * e;
    }
    sum_qq += block_sum;
  }
  double round_err2 = 0;
  for (float e : err2) round_err2 += e;
  planes_.resize(4 * words);
  nibble_lut_.resize(4 * padded_dim);
  kernels::active().query_tables(qq_.data(), padded_dim, planes_.data(), nibble_lut_.data());
  lo_ = lo;
  delta_ = delta;
  sum_q_ = static_cast<float>(static_cast<double>(lo) * static_cast<double>(padded_dim) +
                              static_cast<double>(delta) * static_cast<double>(sum_qq));
  round_err_ = std::isfinite(round_err2) ? static_cast<float>(std::sqrt(round_err2)) : 0.0f;
  norm2_ = residual_norm2;
  norm_ = residual_norm2 > 0 ? std::sqrt(residual_norm2) : 0.0f;

  // The word-by-word view of the query that the SIMD kernels read (see
  // kernels::EstimatorQuery).
  const size_t row_words = bits * words;
  const bool tiled = row_words == 1 || row_words == 2 || row_words == 4;
  rep_words_ = tiled ? 8 : (row_words + 7) / 8 * 8;
  rep_.assign(4 * rep_words_, 0);
  rep_shift_.assign(rep_words_, 0);
  for (size_t i = 0; i < rep_words_; ++i) {
    const size_t src = tiled ? i % row_words : i;
    if (src >= row_words) break;
    const size_t j = src / words, w = src % words;
    for (unsigned k = 0; k < 4; ++k) rep_[k * rep_words_ + i] = planes_[k * words + w];
    rep_shift_[i] = j;
  }
}

kernels::EstimatorQuery QueryLut::kernel_query() const {
  const float m = (static_cast<float>(1u << bits_) - 1.0f) / 2.0f;
  const float two_k = 2.0f * kConfidence;
  kernels::EstimatorQuery kq;
  kq.planes = planes_.data();
  kq.rep = rep_.data();
  kq.rep_shift = rep_shift_.data();
  kq.words_per_plane = padded_dim_ / 64;
  kq.row_words = bits_ * (padded_dim_ / 64);
  kq.rep_words = rep_words_;
  kq.nibble_lut = nibble_lut_.data();
  kq.groups = padded_dim_ / 4;
  kq.bits = bits_;
  kq.norm2 = norm2_;
  kq.coef_s = 2.0f * delta_;
  kq.coef_sum = 2.0f * lo_;
  kq.coef_0 = -2.0f * m * sum_q_;
  kq.lb_err = two_k * (norm_ + round_err_);
  kq.lb_norm =
      padded_dim_ > 0 ? two_k * round_err_ / std::sqrt(static_cast<float>(padded_dim_)) : 0.0f;
  return kq;
}

void QueryLut::estimate(const uint8_t* codes, const RowFactors* factors, size_t n, float* est,
                        float* lower_bound) const {
  if (n == 0) return;
  kernels::active().estimate(kernel_query(), codes, factors, n, est, lower_bound);
}

void QueryLut::estimate_run(const uint8_t* codes, const RowFactors* factors, size_t n, size_t blocked,
                            float* est) const {
  if (n == 0) return;
  const kernels::EstimatorQuery kq = kernel_query();
  const kernels::KernelTable& k = kernels::active();
  const size_t row_bytes = code_bytes_for(padded_dim_, bits_);
  size_t r = 0;
  for (; r < blocked; r += kBlockRows) k.block_estimate(kq, codes + r * row_bytes, factors + r, est + r);
  if (r < n) k.estimate(kq, codes + r * row_bytes, factors + r, n - r, est + r, nullptr);
}

float QueryLut::estimate_one(const uint8_t* code, const RowFactors& f, float* lower_bound) const {
  float est = 0;
  estimate(code, &f, 1, &est, lower_bound);
  return est;
}

}  // namespace nimbrel
