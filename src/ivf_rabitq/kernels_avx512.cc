// AVX-512 kernels (F/BW/VL/DQ with VPOPCNTDQ; contraction off so the
// results equal the scalar ones bit for bit).
//
// Only intrinsics and functions of this file: see kernels.h for why.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

// GCC 12's AVX-512 headers start some intrinsics from an undefined
// register, which -Wuninitialized reports once they are inlined here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include "ivf_rabitq/kernels.h"

namespace nimbrel::kernels {
namespace {

// The query words and plane shifts for 8 consecutive row words.
struct RepChunk {
  __m512i q0, q1, q2, q3, shift;
};

inline RepChunk load_rep(const EstimatorQuery& q, size_t at) {
  const uint64_t* rep = q.rep + at;
  return {_mm512_loadu_si512(rep), _mm512_loadu_si512(rep + q.rep_words),
          _mm512_loadu_si512(rep + 2 * q.rep_words), _mm512_loadu_si512(rep + 3 * q.rep_words),
          _mm512_loadu_si512(q.rep_shift + at)};
}

// Per lane: (sum_k 2^k popcount(word & query_k)) << plane j.
inline __m512i weighted_counts(__m512i r, const RepChunk& c) {
  __m512i t = _mm512_popcnt_epi64(_mm512_and_si512(r, c.q3));
  t = _mm512_add_epi64(_mm512_slli_epi64(t, 1), _mm512_popcnt_epi64(_mm512_and_si512(r, c.q2)));
  t = _mm512_add_epi64(_mm512_slli_epi64(t, 1), _mm512_popcnt_epi64(_mm512_and_si512(r, c.q1)));
  t = _mm512_add_epi64(_mm512_slli_epi64(t, 1), _mm512_popcnt_epi64(_mm512_and_si512(r, c.q0)));
  return _mm512_sllv_epi64(t, c.shift);
}

// a + b after pairing lanes: result lane 2i = a[2i] + a[2i+1], lane 2i+1 = b[2i] + b[2i+1].
inline __m512i pair_add(__m512i a, __m512i b) {
  return _mm512_add_epi64(_mm512_unpacklo_epi64(a, b), _mm512_unpackhi_epi64(a, b));
}
// Adds 128-bit blocks pairwise: result blocks (a0+a1, a2+a3, b0+b1, b2+b3).
inline __m512i block_add(__m512i a, __m512i b) {
  return _mm512_add_epi64(_mm512_shuffle_i64x2(a, b, _MM_SHUFFLE(2, 0, 2, 0)),
                          _mm512_shuffle_i64x2(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
}

inline __mmask8 first_lanes(size_t n) {
  return static_cast<__mmask8>(n >= 8 ? 0xff : (1u << n) - 1);
}

// One row of any length: masked 8-word chunks, then a horizontal sum.
inline uint64_t row_sum(const EstimatorQuery& q, const uint64_t* row) {
  __m512i acc = _mm512_setzero_si512();
  for (size_t c = 0; c < q.row_words; c += 8) {
    const __m512i r = _mm512_maskz_loadu_epi64(first_lanes(q.row_words - c), row + c);
    acc = _mm512_add_epi64(acc, weighted_counts(r, load_rep(q, c)));
  }
  return static_cast<uint64_t>(_mm512_reduce_add_epi64(acc));
}

// Eight rows at a time, lane r of the result = S of row r.
//
// Rows of 1, 2 or 4 words are packed: one 512-bit load holds 8, 4 or 2
// whole rows and rep repeats the query pattern to match, so no lane is
// wasted; the per-row sums come out of a short add tree. Longer rows keep
// one accumulator per row and share one tree at the end.
inline __m512i eight_row_sums(const EstimatorQuery& q, const uint64_t* rows) {
  const size_t w = q.row_words;
  if (w == 1) {
    return weighted_counts(_mm512_loadu_si512(rows), load_rep(q, 0));
  }
  if (w == 2) {
    const RepChunk c = load_rep(q, 0);
    const __m512i a = weighted_counts(_mm512_loadu_si512(rows), c);      // rows 0-3
    const __m512i b = weighted_counts(_mm512_loadu_si512(rows + 8), c);  // rows 4-7
    // pair_add gives rows 0,4,1,5,2,6,3,7.
    return _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7), pair_add(a, b));
  }
  if (w == 4) {
    const RepChunk c = load_rep(q, 0);
    __m512i v[4];
    for (int i = 0; i < 4; ++i) v[i] = weighted_counts(_mm512_loadu_si512(rows + 8 * i), c);
    // Rows 0,2,1,3,4,6,5,7 after the tree.
    const __m512i s = block_add(pair_add(v[0], v[1]), pair_add(v[2], v[3]));
    return _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 2, 1, 3, 4, 6, 5, 7), s);
  }
  __m512i acc[8];
  for (int r = 0; r < 8; ++r) acc[r] = _mm512_setzero_si512();
  for (size_t c = 0; c < w; c += 8) {
    const RepChunk rc = load_rep(q, c);
    const __mmask8 m = first_lanes(w - c);
    for (int r = 0; r < 8; ++r) {
      const __m512i words = _mm512_maskz_loadu_epi64(m, rows + r * w + c);
      acc[r] = _mm512_add_epi64(acc[r], weighted_counts(words, rc));
    }
  }
  // Three levels of the tree put rows 0..7 in lanes 0..7.
  const __m512i d0 = block_add(pair_add(acc[0], acc[1]), pair_add(acc[2], acc[3]));
  const __m512i d1 = block_add(pair_add(acc[4], acc[5]), pair_add(acc[6], acc[7]));
  return block_add(d0, d1);
}

void popcount_sums_avx512(const EstimatorQuery& q, const uint8_t* codes, size_t n, uint64_t* sums) {
  const uint64_t* rows = reinterpret_cast<const uint64_t*>(codes);
  const size_t w = q.row_words;
  size_t r = 0;
  for (; r + 8 <= n; r += 8) _mm512_storeu_si512(sums + r, eight_row_sums(q, rows + r * w));
  for (; r < n; ++r) sums[r] = row_sum(q, rows + r * w);
}

// The float part for 8 rows whose sums are in `s`.
inline void finish8(const EstimatorQuery& q, __m512i s, const RowFactors* f, float* est,
                    float* lb) {
  // Factors are 8 x (norm, ip_scale, code_sum, err): split the two 512-bit
  // halves into one vector per field.
  const __m512 lo = _mm512_loadu_ps(reinterpret_cast<const float*>(f));
  const __m512 hi = _mm512_loadu_ps(reinterpret_cast<const float*>(f) + 16);
  const auto field = [&](int k) {
    const __m512i idx = _mm512_setr_epi32(k, k + 4, k + 8, k + 12, k + 16, k + 20, k + 24, k + 28,
                                          0, 0, 0, 0, 0, 0, 0, 0);
    return _mm512_castps512_ps256(_mm512_permutex2var_ps(lo, idx, hi));
  };
  const __m256 norm = field(0), ip_scale = field(1), code_sum = field(2), err = field(3);
  const __m256 sf = _mm512_cvtepu64_ps(s);
  __m256 t = _mm256_mul_ps(_mm256_set1_ps(q.coef_s), sf);
  t = _mm256_add_ps(t, _mm256_mul_ps(_mm256_set1_ps(q.coef_sum), code_sum));
  t = _mm256_add_ps(t, _mm256_set1_ps(q.coef_0));
  const __m256 e = _mm256_sub_ps(_mm256_add_ps(_mm256_set1_ps(q.norm2), _mm256_mul_ps(norm, norm)),
                                 _mm256_mul_ps(ip_scale, t));
  _mm256_storeu_ps(est, e);
  if (lb) {
    const __m256 width = _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(q.lb_err), err),
                                       _mm256_mul_ps(_mm256_set1_ps(q.lb_norm), norm));
    _mm256_storeu_ps(lb, _mm256_sub_ps(e, width));
  }
}

void estimate_avx512(const EstimatorQuery& q, const uint8_t* codes, const RowFactors* factors,
                     size_t n, float* est, float* lb) {
  const uint64_t* rows = reinterpret_cast<const uint64_t*>(codes);
  const size_t w = q.row_words;
  size_t r = 0;
  for (; r + 8 <= n; r += 8) {
    finish8(q, eight_row_sums(q, rows + r * w), factors + r, est + r, lb ? lb + r : nullptr);
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

// Byte c of lane l's table takes query value b of group l when bit b of c
// is set: index 4 * l + b, or 0x80 (zero) where the bit is clear.
inline __m512i table_index(unsigned b) {
  alignas(64) int8_t idx[64];
  for (int c = 0; c < 64; ++c) idx[c] = (c % 16) >> b & 1 ? static_cast<int8_t>(4 * (c / 16) + b) : -128;
  return _mm512_load_si512(idx);
}

void query_tables_avx512(const uint8_t* qq, size_t D, uint64_t* planes, uint8_t* nibble_lut) {
  const size_t words = D / 64;
  for (size_t w = 0; w < words; ++w) {
    const __m512i x = _mm512_loadu_si512(qq + 64 * w);
    for (unsigned k = 0; k < 4; ++k) {
      planes[k * words + w] = _mm512_movepi8_mask(_mm512_sll_epi16(x, _mm_cvtsi32_si128(static_cast<int>(7 - k))));
    }
  }
  // Four groups per step: every 128-bit lane holds the four groups' 16
  // values and builds the table of its own group.
  const __m512i i0 = table_index(0), i1 = table_index(1), i2 = table_index(2), i3 = table_index(3);
  for (size_t g = 0; g < D / 4; g += 4) {
    const __m512i v = _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(qq + 4 * g)));
    const __m512i t = _mm512_add_epi8(_mm512_add_epi8(_mm512_shuffle_epi8(v, i0), _mm512_shuffle_epi8(v, i1)),
                                      _mm512_add_epi8(_mm512_shuffle_epi8(v, i2), _mm512_shuffle_epi8(v, i3)));
    _mm512_storeu_si512(nibble_lut + 16 * g, t);
  }
}

// A block's nibbles are looked up 4 groups (64 bytes) at a time, 128-bit
// lane k scoring group g + k for 16 rows from the low nibbles and 16 from
// the high ones. Four lookups (at most 240) add up in bytes, then widen to
// 16 bits, even and odd rows apart; a chunk of at most 1024 groups keeps
// the four lanes' total below 2^16.
constexpr size_t kBlockChunkGroups = 1024;

// 16 rows' 32-bit sums from four lanes' even (`e`) and odd (`o`) 16-bit sums.
inline __m512i fold_rows(__m512i e, __m512i o, unsigned j) {
  const __m256i e2 = _mm256_add_epi16(_mm512_castsi512_si256(e), _mm512_extracti64x4_epi64(e, 1));
  const __m256i o2 = _mm256_add_epi16(_mm512_castsi512_si256(o), _mm512_extracti64x4_epi64(o, 1));
  const __m128i ev = _mm_add_epi16(_mm256_castsi256_si128(e2), _mm256_extracti128_si256(e2, 1));
  const __m128i od = _mm_add_epi16(_mm256_castsi256_si128(o2), _mm256_extracti128_si256(o2, 1));
  const __m256i rows = _mm256_set_m128i(_mm_unpackhi_epi16(ev, od), _mm_unpacklo_epi16(ev, od));
  return _mm512_sll_epi32(_mm512_cvtepu16_epi32(rows), _mm_cvtsi32_si128(static_cast<int>(j)));
}

void block_estimate_avx512(const EstimatorQuery& q, const uint8_t* block, const RowFactors* factors,
                           float* est) {
  __m512i sums[4] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(),
                     _mm512_setzero_si512()};
  const __m512i low = _mm512_set1_epi8(0x0f);
  const __m512i byte = _mm512_set1_epi16(0x00ff);
  const size_t groups = q.groups;
  for (size_t c0 = 0; c0 < groups; c0 += kBlockChunkGroups) {
    const size_t c1 = groups - c0 < kBlockChunkGroups ? groups : c0 + kBlockChunkGroups;
    // Rows 0-15 and 16-31 of this chunk, every plane weighted.
    __m512i rows_lo = _mm512_setzero_si512(), rows_hi = rows_lo;
    for (unsigned j = 0; j < q.bits; ++j) {
      const uint8_t* p = block + 16 * (j * groups);
      __m512i even_lo = _mm512_setzero_si512(), odd_lo = even_lo, even_hi = even_lo, odd_hi = even_lo;
      for (size_t g = c0; g < c1; g += 16) {
        __m512i sum_lo = _mm512_setzero_si512(), sum_hi = sum_lo;
        for (size_t k = 0; k < 16; k += 4) {
          const __m512i v = _mm512_loadu_si512(p + 16 * (g + k));
          const __m512i lut = _mm512_loadu_si512(q.nibble_lut + 16 * (g + k));
          sum_lo = _mm512_add_epi8(sum_lo, _mm512_shuffle_epi8(lut, _mm512_and_si512(v, low)));
          sum_hi = _mm512_add_epi8(sum_hi, _mm512_shuffle_epi8(lut, _mm512_and_si512(_mm512_srli_epi16(v, 4), low)));
        }
        even_lo = _mm512_add_epi16(even_lo, _mm512_and_si512(sum_lo, byte));
        odd_lo = _mm512_add_epi16(odd_lo, _mm512_srli_epi16(sum_lo, 8));
        even_hi = _mm512_add_epi16(even_hi, _mm512_and_si512(sum_hi, byte));
        odd_hi = _mm512_add_epi16(odd_hi, _mm512_srli_epi16(sum_hi, 8));
      }
      rows_lo = _mm512_add_epi32(rows_lo, fold_rows(even_lo, odd_lo, j));
      rows_hi = _mm512_add_epi32(rows_hi, fold_rows(even_hi, odd_hi, j));
    }
    sums[0] = _mm512_add_epi64(sums[0], _mm512_cvtepu32_epi64(_mm512_castsi512_si256(rows_lo)));
    sums[1] = _mm512_add_epi64(sums[1], _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(rows_lo, 1)));
    sums[2] = _mm512_add_epi64(sums[2], _mm512_cvtepu32_epi64(_mm512_castsi512_si256(rows_hi)));
    sums[3] = _mm512_add_epi64(sums[3], _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(rows_hi, 1)));
  }
  for (size_t r = 0; r < 4; ++r) finish8(q, sums[r], factors + 8 * r, est + 8 * r, nullptr);
}

float l2_sq_avx512(const float* a, const float* b, size_t dim) {
  __m512 acc = _mm512_setzero_ps();  // lane l = partial sum l
  size_t i = 0;
  for (; i + 16 <= dim; i += 16) {
    const __m512 d = _mm512_sub_ps(_mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i));
    acc = _mm512_add_ps(acc, _mm512_mul_ps(d, d));
  }
  if (i < dim) {
    const __mmask16 m = static_cast<__mmask16>((1u << (dim - i)) - 1);
    const __m512 d =
        _mm512_sub_ps(_mm512_maskz_loadu_ps(m, a + i), _mm512_maskz_loadu_ps(m, b + i));
    acc = _mm512_add_ps(acc, _mm512_mul_ps(d, d));
  }
  const __m256 hi8 = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(acc), 1));
  const __m256 s8 = _mm256_add_ps(_mm512_castps512_ps256(acc), hi8);
  const __m128 s4 = _mm_add_ps(_mm256_castps256_ps128(s8), _mm256_extractf128_ps(s8, 1));
  const __m128 s2 = _mm_add_ps(s4, _mm_movehl_ps(s4, s4));
  return _mm_cvtss_f32(_mm_add_ss(s2, _mm_shuffle_ps(s2, s2, 1)));
}

double rerank_l2_u8_avx512(const float* q, const uint8_t* codes, size_t dim, float scale) {
  const __m512 step = _mm512_set1_ps(scale / 127.0f);
  const __m512i bias = _mm512_set1_epi32(128);
  __m512 acc[2] = {_mm512_setzero_ps(), _mm512_setzero_ps()};  // lane l of acc[a]: sum 16a + l
  const auto add = [&](size_t a, size_t at, __mmask16 m) {
    const __m128i raw = _mm_maskz_loadu_epi8(m, codes + at);
    const __m512 v = _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_sub_epi32(_mm512_cvtepu8_epi32(raw), bias)), step);
    const __m512 d = _mm512_sub_ps(_mm512_maskz_loadu_ps(m, q + at), v);
    // Absent lanes must add exactly nothing (their d would be 128 * step).
    acc[a] = _mm512_mask_add_ps(acc[a], m, acc[a], _mm512_mul_ps(d, d));
  };
  size_t i = 0;
  for (; i + 32 <= dim; i += 32) {
    add(0, i, 0xFFFF);
    add(1, i + 16, 0xFFFF);
  }
  for (size_t a = 0; i + 16 * a < dim; ++a) {
    const size_t left = dim - i - 16 * a;
    add(a, i + 16 * a, static_cast<__mmask16>(left >= 16 ? 0xFFFF : (1u << left) - 1));
  }
  // The fold in registers: + 16, + 8, + 4, + 2, + 1.
  const __m512 s16 = _mm512_add_ps(acc[0], acc[1]);
  const __m256 s8 = _mm256_add_ps(_mm512_castps512_ps256(s16),
                                  _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(s16), 1)));
  const __m128 s4 = _mm_add_ps(_mm256_castps256_ps128(s8), _mm256_extractf128_ps(s8, 1));
  const __m128 s2 = _mm_add_ps(s4, _mm_movehl_ps(s4, s4));
  return static_cast<double>(_mm_cvtss_f32(_mm_add_ss(s2, _mm_shuffle_ps(s2, s2, 1))));
}

// Eight points at a time: 8 accumulators of 16 centroids, one panel row
// load per dimension shared by all of them.
void distance_panel_avx512(const float* x, size_t x_stride, const float* x_norms, size_t n_points,
                           size_t dim, const float* panel, const float* panel_norms, float* out,
                           size_t out_stride) {
  constexpr size_t kRows = 8;
  const __m512 cn = _mm512_loadu_ps(panel_norms);
  const __m512 two = _mm512_set1_ps(2.0f);
  const auto store = [&](size_t p, __m512 dot) {
    const __m512 norms = _mm512_add_ps(_mm512_set1_ps(x_norms[p]), cn);
    _mm512_storeu_ps(out + p * out_stride, _mm512_sub_ps(norms, _mm512_mul_ps(two, dot)));
  };
  size_t p = 0;
  for (; p + kRows <= n_points; p += kRows) {
    __m512 acc[kRows];
    for (size_t r = 0; r < kRows; ++r) acc[r] = _mm512_setzero_ps();
    const float* xp = x + p * x_stride;
    for (size_t d = 0; d < dim; ++d) {
      const __m512 c = _mm512_loadu_ps(panel + d * kPanelWidth);
      for (size_t r = 0; r < kRows; ++r) {
        acc[r] = _mm512_add_ps(acc[r], _mm512_mul_ps(_mm512_set1_ps(xp[r * x_stride + d]), c));
      }
    }
    for (size_t r = 0; r < kRows; ++r) store(p + r, acc[r]);
  }
  for (; p < n_points; ++p) {
    __m512 acc = _mm512_setzero_ps();
    const float* xp = x + p * x_stride;
    for (size_t d = 0; d < dim; ++d) {
      const __m512 c = _mm512_loadu_ps(panel + d * kPanelWidth);
      acc = _mm512_add_ps(acc, _mm512_mul_ps(_mm512_set1_ps(xp[d]), c));
    }
    store(p, acc);
  }
}

}  // namespace

const KernelTable kAvx512Table = {Isa::kAvx512,        "avx512",
                                  popcount_sums_avx512, estimate_avx512,
                                  query_tables_avx512,  block_estimate_avx512, l2_sq_avx512,         rerank_l2_u8_avx512,
                                  scale_sums_avx2,      distance_panel_avx512};

}  // namespace nimbrel::kernels
