// AVX2 kernels (with FMA, POPCNT and BMI2 available, and contraction off so
// the results equal the scalar ones bit for bit).
//
// Only intrinsics and functions of this file: see kernels.h for why.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include <immintrin.h>

#include "ivf_rabitq/kernels.h"

namespace nimbrel::kernels {
namespace {

// Popcount of every byte by the nibble table (AVX2 has no vector popcount).
inline __m256i popcount_bytes(__m256i x) {
  const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,  //
                                         0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i low = _mm256_set1_epi8(0x0f);
  const __m256i lo = _mm256_shuffle_epi8(table, _mm256_and_si256(x, low));
  const __m256i hi = _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(x, 4), low));
  return _mm256_add_epi8(lo, hi);
}

// For 4 row words: per 64-bit lane, sum_k 2^k popcount(word & query_k),
// shifted by the word's plane j. Byte counts stay below 8 * 15 = 120, so the
// weighting happens on bytes before one sum-of-absolute-differences widens them.
inline __m256i weighted_counts(__m256i r, const uint64_t* rep, size_t rep_words, size_t at) {
  const auto qword = [&](unsigned k) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rep + k * rep_words + at));
  };
  __m256i t = popcount_bytes(_mm256_and_si256(r, qword(3)));
  t = _mm256_add_epi8(_mm256_add_epi8(t, t), popcount_bytes(_mm256_and_si256(r, qword(2))));
  t = _mm256_add_epi8(_mm256_add_epi8(t, t), popcount_bytes(_mm256_and_si256(r, qword(1))));
  t = _mm256_add_epi8(_mm256_add_epi8(t, t), popcount_bytes(_mm256_and_si256(r, qword(0))));
  return t;
}

// One row's S as four 64-bit lane sums (whole 4-word chunks) plus a scalar
// part (the last 1 to 3 words, by the hardware popcount).
struct RowParts {
  __m256i lanes;
  uint64_t rest;
};

inline RowParts row_parts(const EstimatorQuery& q, const uint64_t* row) {
  const size_t n_words = q.row_words;
  RowParts p{_mm256_setzero_si256(), 0};
  size_t c = 0;
  for (; c + 4 <= n_words; c += 4) {
    const __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + c));
    const __m256i bytes = weighted_counts(r, q.rep, q.rep_words, c);
    const __m256i t = _mm256_sad_epu8(bytes, _mm256_setzero_si256());
    const __m256i shift = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q.rep_shift + c));
    p.lanes = _mm256_add_epi64(p.lanes, _mm256_sllv_epi64(t, shift));
  }
  for (; c < n_words; ++c) {
    uint64_t word;
    __builtin_memcpy(&word, row + c, 8);
    uint64_t t = 0;
    for (unsigned k = 0; k < 4; ++k) {
      t += static_cast<uint64_t>(_mm_popcnt_u64(word & q.rep[k * q.rep_words + c])) << k;
    }
    p.rest += t << q.rep_shift[c];
  }
  return p;
}

inline uint64_t row_sum(const EstimatorQuery& q, const uint64_t* row) {
  const RowParts p = row_parts(q, row);
  __m128i s = _mm_add_epi64(_mm256_castsi256_si128(p.lanes), _mm256_extracti128_si256(p.lanes, 1));
  s = _mm_add_epi64(s, _mm_unpackhi_epi64(s, s));
  return static_cast<uint64_t>(_mm_cvtsi128_si64(s)) + p.rest;
}

// S of four consecutive rows in the four lanes, by one add tree.
inline __m256i four_row_sums(const EstimatorQuery& q, const uint64_t* rows) {
  const size_t w = q.row_words;
  const RowParts p0 = row_parts(q, rows), p1 = row_parts(q, rows + w);
  const RowParts p2 = row_parts(q, rows + 2 * w), p3 = row_parts(q, rows + 3 * w);
  // Per 128-bit half: (row a lanes 0+1, row b lanes 0+1) and the same for lanes 2+3.
  const __m256i s01 = _mm256_add_epi64(_mm256_unpacklo_epi64(p0.lanes, p1.lanes),
                                       _mm256_unpackhi_epi64(p0.lanes, p1.lanes));
  const __m256i s23 = _mm256_add_epi64(_mm256_unpacklo_epi64(p2.lanes, p3.lanes),
                                       _mm256_unpackhi_epi64(p2.lanes, p3.lanes));
  const __m256i sums = _mm256_add_epi64(_mm256_permute2x128_si256(s01, s23, 0x20),
                                        _mm256_permute2x128_si256(s01, s23, 0x31));
  const auto i64 = [](uint64_t v) { return static_cast<int64_t>(v); };
  const __m256i rest = _mm256_setr_epi64x(i64(p0.rest), i64(p1.rest), i64(p2.rest), i64(p3.rest));
  return _mm256_add_epi64(sums, rest);
}

void popcount_sums_avx2(const EstimatorQuery& q, const uint8_t* codes, size_t n, uint64_t* sums) {
  const uint64_t* rows = reinterpret_cast<const uint64_t*>(codes);
  const size_t w = q.row_words;
  size_t r = 0;
  for (; r + 4 <= n; r += 4) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + r), four_row_sums(q, rows + r * w));
  }
  for (; r < n; ++r) sums[r] = row_sum(q, rows + r * w);
}

// The float part for 4 rows whose sums are in `s` (each below 2^52, which
// holds for any dimension below 2^40).
inline void finish4(const EstimatorQuery& q, __m256i s, const RowFactors* f, float* est,
                    float* lb) {
  // Exact integer to double by the 2^52 bias, then one rounding to float:
  // the same float as a direct conversion.
  const __m256d bias = _mm256_set1_pd(0x1.0p52);
  const __m256i biased = _mm256_or_si256(s, _mm256_castpd_si256(bias));
  const __m256d sd = _mm256_sub_pd(_mm256_castsi256_pd(biased), bias);
  const __m128 sf = _mm256_cvtpd_ps(sd);
  // Factors are 4 x (norm, ip_scale, code_sum, err): transpose to fields.
  __m128 norm = _mm_loadu_ps(reinterpret_cast<const float*>(f));
  __m128 ip_scale = _mm_loadu_ps(reinterpret_cast<const float*>(f + 1));
  __m128 code_sum = _mm_loadu_ps(reinterpret_cast<const float*>(f + 2));
  __m128 err = _mm_loadu_ps(reinterpret_cast<const float*>(f + 3));
  _MM_TRANSPOSE4_PS(norm, ip_scale, code_sum, err);
  __m128 t = _mm_mul_ps(_mm_set1_ps(q.coef_s), sf);
  t = _mm_add_ps(t, _mm_mul_ps(_mm_set1_ps(q.coef_sum), code_sum));
  t = _mm_add_ps(t, _mm_set1_ps(q.coef_0));
  const __m128 both_norms = _mm_add_ps(_mm_set1_ps(q.norm2), _mm_mul_ps(norm, norm));
  const __m128 e = _mm_sub_ps(both_norms, _mm_mul_ps(ip_scale, t));
  _mm_storeu_ps(est, e);
  if (lb) {
    const __m128 width = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(q.lb_err), err),
                                    _mm_mul_ps(_mm_set1_ps(q.lb_norm), norm));
    _mm_storeu_ps(lb, _mm_sub_ps(e, width));
  }
}

void estimate_avx2(const EstimatorQuery& q, const uint8_t* codes, const RowFactors* factors,
                   size_t n, float* est, float* lb) {
  const uint64_t* rows = reinterpret_cast<const uint64_t*>(codes);
  const size_t w = q.row_words;
  size_t r = 0;
  for (; r + 4 <= n; r += 4) {
    finish4(q, four_row_sums(q, rows + r * w), factors + r, est + r, lb ? lb + r : nullptr);
  }
  for (; r < n; ++r) {
    const float s = static_cast<float>(row_sum(q, rows + r * w));
    const RowFactors& f = factors[r];
    float t = q.coef_s * s;
    t = t + q.coef_sum * f.code_sum;
    t = t + q.coef_0;
    const float e = (q.norm2 + f.norm * f.norm) - f.ip_scale * t;
    est[r] = e;
    if (lb) lb[r] = e - (q.lb_err * f.err + q.lb_norm * f.norm);
  }
}

// Byte c of a table lane takes query value b of the lane's group when bit
// b of c is set: index 4 * group + b, or 0x80 (zero) where the bit is clear.
inline __m256i table_index(unsigned b, int lane_group) {
  alignas(32) int8_t idx[32];
  for (int c = 0; c < 32; ++c) idx[c] = (c % 16) >> b & 1 ? static_cast<int8_t>(4 * (lane_group + c / 16) + b) : -128;
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(idx));
}

void query_tables_avx2(const uint8_t* qq, size_t D, uint64_t* planes, uint8_t* nibble_lut) {
  const size_t words = D / 64;
  for (size_t w = 0; w < words; ++w) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(qq + 64 * w));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(qq + 64 * w + 32));
    for (unsigned k = 0; k < 4; ++k) {
      const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(7 - k));
      const uint32_t lo = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_sll_epi16(a, shift)));
      const uint32_t hi = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_sll_epi16(b, shift)));
      planes[k * words + w] = lo | static_cast<uint64_t>(hi) << 32;
    }
  }
  // Two groups per step: each 128-bit lane holds the 16 values of four
  // groups (this pair among them) and builds one group's table.
  const __m256i i0 = table_index(0, 0), i1 = table_index(1, 0), i2 = table_index(2, 0), i3 = table_index(3, 0);
  const __m256i j0 = table_index(0, 2), j1 = table_index(1, 2), j2 = table_index(2, 2), j3 = table_index(3, 2);
  for (size_t g = 0; g < D / 4; g += 4) {
    const __m256i v = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(qq + 4 * g)));
    const auto table = [&](__m256i x0, __m256i x1, __m256i x2, __m256i x3) {
      return _mm256_add_epi8(_mm256_add_epi8(_mm256_shuffle_epi8(v, x0), _mm256_shuffle_epi8(v, x1)),
                             _mm256_add_epi8(_mm256_shuffle_epi8(v, x2), _mm256_shuffle_epi8(v, x3)));
    };
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(nibble_lut + 16 * g), table(i0, i1, i2, i3));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(nibble_lut + 16 * g + 32), table(j0, j1, j2, j3));
  }
}

// A block's nibbles are looked up 2 groups (32 bytes) at a time: the low
// 128-bit lane scores group g, the high one g + 1, each for 16 rows from
// the low nibbles and 16 from the high ones. Four lookups (at most
// 4 * 60 = 240) add up in bytes before they widen to 16 bits, even and odd
// rows apart; a chunk of at most 1024 groups keeps each 16-bit sum below
// 512 * 60 and the two lanes' total below 2^16.
constexpr size_t kBlockChunkGroups = 1024;

// The 16 row sums of two lanes' even (`e`) and odd (`o`) 16-bit sums, as
// 32-bit rows 0-7 and 8-15.
inline void fold_rows(__m256i e, __m256i o, unsigned j, __m256i* first, __m256i* second) {
  const __m128i ev = _mm_add_epi16(_mm256_castsi256_si128(e), _mm256_extracti128_si256(e, 1));
  const __m128i od = _mm_add_epi16(_mm256_castsi256_si128(o), _mm256_extracti128_si256(o, 1));
  const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(j));
  *first = _mm256_add_epi32(*first, _mm256_sll_epi32(_mm256_cvtepu16_epi32(_mm_unpacklo_epi16(ev, od)), shift));
  *second = _mm256_add_epi32(*second, _mm256_sll_epi32(_mm256_cvtepu16_epi32(_mm_unpackhi_epi16(ev, od)), shift));
}

void block_estimate_avx2(const EstimatorQuery& q, const uint8_t* block, const RowFactors* factors,
                         float* est) {
  alignas(32) uint64_t sums[32] = {};
  const __m256i low = _mm256_set1_epi8(0x0f);
  const __m256i byte = _mm256_set1_epi16(0x00ff);
  const size_t groups = q.groups;
  for (size_t c0 = 0; c0 < groups; c0 += kBlockChunkGroups) {
    const size_t c1 = groups - c0 < kBlockChunkGroups ? groups : c0 + kBlockChunkGroups;
    // Rows 0-7, 8-15, 16-23, 24-31 of this chunk, every plane weighted
    // (below 1024 * 60 * 255 < 2^32).
    __m256i rows[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                       _mm256_setzero_si256()};
    for (unsigned j = 0; j < q.bits; ++j) {
      const uint8_t* p = block + 16 * (j * groups);
      __m256i even_lo = _mm256_setzero_si256(), odd_lo = even_lo, even_hi = even_lo, odd_hi = even_lo;
      for (size_t g = c0; g < c1; g += 8) {
        __m256i sum_lo = _mm256_setzero_si256(), sum_hi = sum_lo;
        for (size_t k = 0; k < 8; k += 2) {
          const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 16 * (g + k)));
          const __m256i lut = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q.nibble_lut + 16 * (g + k)));
          sum_lo = _mm256_add_epi8(sum_lo, _mm256_shuffle_epi8(lut, _mm256_and_si256(v, low)));
          sum_hi = _mm256_add_epi8(sum_hi, _mm256_shuffle_epi8(lut, _mm256_and_si256(_mm256_srli_epi16(v, 4), low)));
        }
        even_lo = _mm256_add_epi16(even_lo, _mm256_and_si256(sum_lo, byte));
        odd_lo = _mm256_add_epi16(odd_lo, _mm256_srli_epi16(sum_lo, 8));
        even_hi = _mm256_add_epi16(even_hi, _mm256_and_si256(sum_hi, byte));
        odd_hi = _mm256_add_epi16(odd_hi, _mm256_srli_epi16(sum_hi, 8));
      }
      fold_rows(even_lo, odd_lo, j, &rows[0], &rows[1]);
      fold_rows(even_hi, odd_hi, j, &rows[2], &rows[3]);
    }
    for (size_t r = 0; r < 4; ++r) {
      __m256i* out = reinterpret_cast<__m256i*>(sums + 8 * r);
      out[0] = _mm256_add_epi64(out[0], _mm256_cvtepu32_epi64(_mm256_castsi256_si128(rows[r])));
      out[1] = _mm256_add_epi64(out[1], _mm256_cvtepu32_epi64(_mm256_extracti128_si256(rows[r], 1)));
    }
  }
  for (size_t r = 0; r < 32; r += 4) {
    finish4(q, _mm256_load_si256(reinterpret_cast<const __m256i*>(sums + r)), factors + r, est + r, nullptr);
  }
}

// Mask of the first `n` (< 8) 32-bit lanes.
inline __m256i lane_mask32(size_t n) {
  const __m256i idx = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), idx);
}

float l2_sq_avx2(const float* a, const float* b, size_t dim) {
  __m256 acc0 = _mm256_setzero_ps();  // sums 0..7
  __m256 acc1 = _mm256_setzero_ps();  // sums 8..15
  size_t i = 0;
  for (; i + 16 <= dim; i += 16) {
    const __m256 d0 = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    const __m256 d1 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8));
    acc0 = _mm256_add_ps(acc0, _mm256_mul_ps(d0, d0));
    acc1 = _mm256_add_ps(acc1, _mm256_mul_ps(d1, d1));
  }
  if (i < dim) {  // masked tail: absent lanes add 0 and leave their sums as they are
    const size_t rest = dim - i;
    const __m256i m0 = lane_mask32(rest < 8 ? rest : 8);
    const __m256 d0 = _mm256_sub_ps(_mm256_maskload_ps(a + i, m0), _mm256_maskload_ps(b + i, m0));
    acc0 = _mm256_add_ps(acc0, _mm256_mul_ps(d0, d0));
    if (rest > 8) {
      const __m256i m1 = lane_mask32(rest - 8);
      const __m256 d1 =
          _mm256_sub_ps(_mm256_maskload_ps(a + i + 8, m1), _mm256_maskload_ps(b + i + 8, m1));
      acc1 = _mm256_add_ps(acc1, _mm256_mul_ps(d1, d1));
    }
  }
  const __m256 s8 = _mm256_add_ps(acc0, acc1);
  const __m128 s4 = _mm_add_ps(_mm256_castps256_ps128(s8), _mm256_extractf128_ps(s8, 1));
  const __m128 s2 = _mm_add_ps(s4, _mm_movehl_ps(s4, s4));
  return _mm_cvtss_f32(_mm_add_ss(s2, _mm_shuffle_ps(s2, s2, 1)));
}

// Eight codes as floats: (c - 128) * step.
inline __m256 dequantise8(const uint8_t* codes, __m256 step) {
  int64_t packed;
  __builtin_memcpy(&packed, codes, 8);
  const __m256i c = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(packed));
  return _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_sub_epi32(c, _mm256_set1_epi32(128))), step);
}

double rerank_l2_u8_avx2(const float* q, const uint8_t* codes, size_t dim, float scale) {
  const __m256 step = _mm256_set1_ps(scale / 127.0f);
  __m256 acc[4];  // acc[a] holds sums 8a .. 8a + 7
  for (__m256& a : acc) a = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 32 <= dim; i += 32) {
    for (size_t a = 0; a < 4; ++a) {
      const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(q + i + 8 * a), dequantise8(codes + i + 8 * a, step));
      acc[a] = _mm256_add_ps(acc[a], _mm256_mul_ps(d, d));
    }
  }
  // The tail: whole eights, then the last one to seven codes (absent lanes
  // add +0, which leaves a sum of squares unchanged).
  for (size_t a = 0; i < dim; ++a, i += 8) {
    __m256 d;
    if (i + 8 <= dim) {
      d = _mm256_sub_ps(_mm256_loadu_ps(q + i), dequantise8(codes + i, step));
    } else {
      alignas(32) float part[8] = {};
      const float s = scale / 127.0f;
      for (size_t l = 0; i + l < dim; ++l) part[l] = q[i + l] - static_cast<float>(static_cast<int>(codes[i + l]) - 128) * s;
      d = _mm256_load_ps(part);
    }
    acc[a] = _mm256_add_ps(acc[a], _mm256_mul_ps(d, d));
  }
  // The fold in registers: + 16, + 8, + 4, + 2, + 1.
  const __m256 s8 = _mm256_add_ps(_mm256_add_ps(acc[0], acc[2]), _mm256_add_ps(acc[1], acc[3]));
  const __m128 s4 = _mm_add_ps(_mm256_castps256_ps128(s8), _mm256_extractf128_ps(s8, 1));
  const __m128 s2 = _mm_add_ps(s4, _mm_movehl_ps(s4, s4));
  return static_cast<double>(_mm_cvtss_f32(_mm_add_ss(s2, _mm_shuffle_ps(s2, s2, 1))));
}

}  // namespace

// Also the AVX-512 table's: eight lanes are the definition, and 256-bit
// operations run as fast there.
void scale_sums_avx2(const float* y, size_t n, float t, float k_max, float ip[8], float nn[8]) {
  const __m256 tv = _mm256_set1_ps(t), top = _mm256_set1_ps(k_max);
  const __m256 two = _mm256_set1_ps(2.0f), one = _mm256_set1_ps(1.0f);
  __m256 ip_acc = _mm256_setzero_ps(), nn_acc = _mm256_setzero_ps();
  for (size_t i = 0; i < n; i += 8) {
    const __m256 v = _mm256_loadu_ps(y + i);
    const __m256 k_raw = _mm256_cvtepi32_ps(_mm256_cvttps_epi32(_mm256_mul_ps(tv, v)));
    const __m256 k = _mm256_min_ps(k_raw, top);
    const __m256 c = _mm256_add_ps(_mm256_mul_ps(two, k), one);
    ip_acc = _mm256_add_ps(ip_acc, _mm256_mul_ps(v, c));
    nn_acc = _mm256_add_ps(nn_acc, _mm256_mul_ps(c, c));
  }
  _mm256_storeu_ps(ip, ip_acc);
  _mm256_storeu_ps(nn, nn_acc);
}

namespace {

// Six points at a time keep 12 accumulators (6 points x 16 centroids) in
// registers alongside the two panel halves.
void distance_panel_avx2(const float* x, size_t x_stride, const float* x_norms, size_t n_points,
                         size_t dim, const float* panel, const float* panel_norms, float* out,
                         size_t out_stride) {
  constexpr size_t kRows = 6;
  const __m256 cn_lo = _mm256_loadu_ps(panel_norms), cn_hi = _mm256_loadu_ps(panel_norms + 8);
  const __m256 two = _mm256_set1_ps(2.0f);
  const auto store = [&](size_t p, __m256 lo, __m256 hi) {
    const __m256 xn = _mm256_set1_ps(x_norms[p]);
    const __m256 d_lo = _mm256_sub_ps(_mm256_add_ps(xn, cn_lo), _mm256_mul_ps(two, lo));
    const __m256 d_hi = _mm256_sub_ps(_mm256_add_ps(xn, cn_hi), _mm256_mul_ps(two, hi));
    _mm256_storeu_ps(out + p * out_stride, d_lo);
    _mm256_storeu_ps(out + p * out_stride + 8, d_hi);
  };
  size_t p = 0;
  for (; p + kRows <= n_points; p += kRows) {
    __m256 lo[kRows], hi[kRows];
    for (size_t r = 0; r < kRows; ++r) lo[r] = hi[r] = _mm256_setzero_ps();
    const float* xp = x + p * x_stride;
    for (size_t d = 0; d < dim; ++d) {
      const __m256 c0 = _mm256_loadu_ps(panel + d * kPanelWidth);
      const __m256 c1 = _mm256_loadu_ps(panel + d * kPanelWidth + 8);
      for (size_t r = 0; r < kRows; ++r) {
        const __m256 v = _mm256_broadcast_ss(xp + r * x_stride + d);
        lo[r] = _mm256_add_ps(lo[r], _mm256_mul_ps(v, c0));
        hi[r] = _mm256_add_ps(hi[r], _mm256_mul_ps(v, c1));
      }
    }
    for (size_t r = 0; r < kRows; ++r) store(p + r, lo[r], hi[r]);
  }
  for (; p < n_points; ++p) {
    __m256 lo = _mm256_setzero_ps(), hi = _mm256_setzero_ps();
    const float* xp = x + p * x_stride;
    for (size_t d = 0; d < dim; ++d) {
      const __m256 v = _mm256_broadcast_ss(xp + d);
      lo = _mm256_add_ps(lo, _mm256_mul_ps(v, _mm256_loadu_ps(panel + d * kPanelWidth)));
      hi = _mm256_add_ps(hi, _mm256_mul_ps(v, _mm256_loadu_ps(panel + d * kPanelWidth + 8)));
    }
    store(p, lo, hi);
  }
}

}  // namespace

const KernelTable kAvx2Table = {Isa::kAvx2,        "avx2",
                                popcount_sums_avx2, estimate_avx2,
                                query_tables_avx2,  block_estimate_avx2, l2_sq_avx2,         rerank_l2_u8_avx2,
                                scale_sums_avx2,    distance_panel_avx2};

}  // namespace nimbrel::kernels
