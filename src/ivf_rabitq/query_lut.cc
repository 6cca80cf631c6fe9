#include "ivf_rabitq/query_lut.h"

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif


namespace nimbrel {
namespace {

// The query side runs once per probed list, so its loops are written for
// SSE2 (the x86-64 baseline) with a plain version elsewhere; both give the
// same values. `D` is a positive multiple of 64.

// The smallest and largest of q, as running selects `v < lo ? v : lo` and
// `v > hi ? v : hi` would give on finite values (what minps and maxps do).
void extremes(const float* q, size_t D, float* lo_out, float* hi_out) {
  float lows[16], highs[16];
#if defined(__SSE2__)
  __m128 lo4[4], hi4[4];
  for (size_t k = 0; k < 4; ++k) lo4[k] = hi4[k] = _mm_loadu_ps(q + 4 * k);
  for (size_t at = 16; at < D; at += 16) {
    for (size_t k = 0; k < 4; ++k) {
      const __m128 v = _mm_loadu_ps(q + at + 4 * k);
      lo4[k] = _mm_min_ps(v, lo4[k]);
      hi4[k] = _mm_max_ps(v, hi4[k]);
    }
  }
  for (size_t k = 0; k < 4; ++k) {
    _mm_storeu_ps(lows + 4 * k, lo4[k]);
    _mm_storeu_ps(highs + 4 * k, hi4[k]);
  }
#else
  for (size_t l = 0; l < 16; ++l) lows[l] = highs[l] = q[l];
  for (size_t at = 16; at < D; at += 16) {
    for (size_t l = 0; l < 16; ++l) {
      const float v = q[at + l];
      lows[l] = v < lows[l] ? v : lows[l];
      highs[l] = v > highs[l] ? v : highs[l];
    }
  }
#endif
  float lo = lows[0], hi = highs[0];
  for (size_t l = 1; l < 16; ++l) {
    lo = lows[l] < lo ? lows[l] : lo;
    hi = highs[l] > hi ? highs[l] : hi;
  }
  *lo_out = lo;
  *hi_out = hi;
}

// qq_i = trunc(clamp((q_i - lo) * inv_delta + 0.5, 0, 15)), clamped before
// the conversion so that a NaN (a non-finite coordinate, or infinity times
// a zero inv_delta) becomes 0; their sum; and the squared rounding errors
// (q_i - (lo + delta qq_i))^2 added into err2[i % 16].
void quantise(const float* q, size_t D, float lo, float delta, float inv_delta, uint8_t* qq,
              uint64_t* sum, float err2[16]) {
#if defined(__SSE2__)
  const __m128 vlo = _mm_set1_ps(lo), vdelta = _mm_set1_ps(delta), vinv = _mm_set1_ps(inv_delta);
  const __m128 half = _mm_set1_ps(0.5f), zero = _mm_setzero_ps(), top = _mm_set1_ps(15.0f);
  __m128 err[4] = {zero, zero, zero, zero};
  __m128i total = _mm_setzero_si128();
  for (size_t at = 0; at < D; at += 16) {
    __m128i ints[4];
    for (size_t k = 0; k < 4; ++k) {
      const __m128 v = _mm_loadu_ps(q + at + 4 * k);
      __m128 t = _mm_add_ps(_mm_mul_ps(_mm_sub_ps(v, vlo), vinv), half);
      t = _mm_min_ps(_mm_max_ps(t, zero), top);  // maxps gives its second operand for a NaN
      ints[k] = _mm_cvttps_epi32(t);
      const __m128 e = _mm_sub_ps(v, _mm_add_ps(vlo, _mm_mul_ps(vdelta, _mm_cvtepi32_ps(ints[k]))));
      err[k] = _mm_add_ps(err[k], _mm_mul_ps(e, e));
    }
    const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(ints[0], ints[1]), _mm_packs_epi32(ints[2], ints[3]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(qq + at), bytes);
    total = _mm_add_epi64(total, _mm_sad_epu8(bytes, _mm_setzero_si128()));
  }
  for (size_t k = 0; k < 4; ++k) _mm_storeu_ps(err2 + 4 * k, err[k]);
  uint64_t parts[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(parts), total);
  *sum = parts[0] + parts[1];
#else
  uint64_t total = 0;
  for (size_t at = 0; at < D; at += 16) {
    for (size_t l = 0; l < 16; ++l) {
      float t = (q[at + l] - lo) * inv_delta + 0.5f;
      t = t >= 0.0f ? t : 0.0f;
      t = t <= 15.0f ? t : 15.0f;
      const int v = static_cast<int>(t);
      qq[at + l] = static_cast<uint8_t>(v);
      total += static_cast<uint64_t>(v);
      const float e = q[at + l] - (lo + delta * static_cast<float>(v));
      err2[l] += e * e;
    }
  }
  *sum = total;
#endif
}

}  // namespace


void QueryLut::prepare(const float* q, size_t padded_dim, unsigned bits, float residual_norm2) {
  const size_t words = padded_dim / 64;
  padded_dim_ = padded_dim;
  bits_ = bits;

  float lo = 0, hi = 0;
  if (padded_dim > 0) extremes(q, padded_dim, &lo, &hi);
  float delta = (hi - lo) / 15.0f;
  if (!std::isfinite(lo) || !std::isfinite(delta) || !(delta > 0)) {
    // A constant residual is represented exactly by lo alone (delta 0);
    // a non-finite one cannot be represented at all and gets zeros.
    delta = 0;
    if (!std::isfinite(lo)) lo = 0;
  }
  const float inv_delta = delta > 0 ? 1.0f / delta : 0.0f;

  // First the 4-bit values, then the tables a kernel builds from them.
  qq_.resize(padded_dim);
  uint64_t sum_qq = 0;
  float err2[16] = {};
  quantise(q, padded_dim, lo, delta, inv_delta, qq_.data(), &sum_qq, err2);
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
