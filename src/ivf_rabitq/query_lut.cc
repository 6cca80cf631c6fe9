#include "ivf_rabitq/query_lut.h"

#include <cmath>

#include "ivf_rabitq/bits.h"

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

  // First the 4-bit values, then their bit-planes 64 dimensions at a time:
  // the per-bit scatter into the planes was most of this function's time.
  qq_.resize(padded_dim);
  uint64_t sum_qq = 0;
  double round_err2 = 0;
  for (size_t i = 0; i < padded_dim; ++i) {
    int qq = delta > 0 ? static_cast<int>((q[i] - lo) * inv_delta + 0.5f) : 0;
    qq = qq < 0 ? 0 : (qq > 15 ? 15 : qq);
    qq_[i] = static_cast<uint8_t>(qq);
    sum_qq += static_cast<uint64_t>(qq);
    const double quantised = static_cast<double>(lo) + static_cast<double>(delta) * qq;
    const double e = static_cast<double>(q[i]) - quantised;
    round_err2 += e * e;
  }
  planes_.resize(4 * words);
  for (size_t w = 0; w < words; ++w) {
    for (unsigned k = 0; k < 4; ++k) planes_[k * words + w] = bit_k_of_bytes(qq_.data() + 64 * w, k);
  }
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

float QueryLut::estimate_one(const uint8_t* code, const RowFactors& f, float* lower_bound) const {
  float est = 0;
  estimate(code, &f, 1, &est, lower_bound);
  return est;
}

}  // namespace nimbrel
