// The numeric hot loops of the codec, one implementation per instruction
// set, chosen once per process.
//
//   kernels_scalar.cc   portable reference (and the run-time choice)
//   kernels_avx2.cc     x86-64 AVX2 + FMA + POPCNT + BMI2
//   kernels_avx512.cc   x86-64 AVX-512 F/BW/VL/DQ + VPOPCNTDQ
//
// Every kernel computes the same bits as the scalar one: floating-point
// sums run in a fixed order with a fixed number of partial sums, and no
// multiply-add is fused (the kernel files turn contraction off), so a
// segment built on an AVX-512 machine equals one built without it, and the
// tests can compare kernels for equality.
//
// The ISA files are compiled with flags the baseline does not have. They
// must call nothing but intrinsics and their own file-local functions: an
// inline function from a shared header, instantiated there, would carry
// that file's instructions and the linker could pick it for every caller.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ivf_rabitq/bitplane_codec.h"

namespace nimbrel::kernels {

enum class Isa : uint8_t { kScalar, kAvx2, kAvx512 };

// The query side of the popcount estimator, prepared by QueryLut.
//
// A row's code is row_words = bits * W u64 words (W = padded_dim / 64):
// plane j occupies words j*W .. j*W + W - 1. The query's 4-bit values
// qq_i sit in 4 planes of W words (`planes`, plane k = bit k of qq_i).
// For each row the kernels compute
//
//   S = sum_{j < bits} sum_{k < 4} 2^(j+k) * sum_{w < W} popcount(row[j*W + w] & planes[k*W + w])
//
// (S <= 15 * 255 * padded_dim stays far below 2^52, which the AVX2 kernel's
// conversion to float relies on)
// and from it the estimate and lower bound (see QueryLut):
//
//   t   = coef_s * S + coef_sum * code_sum + coef_0
//   est = (norm2 + norm * norm) - ip_scale * t
//   lb  = est - (lb_err * err + lb_norm * norm)
//
// The SIMD kernels walk a row as a flat run of words and need the query
// word and the plane weight of each position: rep[k * rep_words + i] is
// query plane k's word for row word i, rep_shift[i] its plane j. When
// row_words divides 8 (1, 2 or 4 words) rep covers 8 words, the pattern
// repeated, so that one 512-bit load holds 8 / row_words whole rows;
// otherwise rep_words is row_words rounded up to 8, the rest zero.
//
// Rows stored in 32-row blocks (bitplane_codec.h) are scored by table
// lookup instead: nibble_lut[16 g + c] = sum_{b < 4} bit b of c * qq_(4g+b)
// (at most 60) for each of the D / 4 groups g, so that
//
//   S = sum_{j < bits} 2^j sum_{g < D/4} nibble_lut[16 g + nibble_(jD/4+g)],
//
// the same integer as above, for 32 rows at once.
struct EstimatorQuery {
  const uint64_t* planes = nullptr;     // 4 * words_per_plane
  const uint64_t* rep = nullptr;        // 4 * rep_words
  const uint64_t* rep_shift = nullptr;  // rep_words
  size_t words_per_plane = 0;           // W
  size_t row_words = 0;                 // bits * W
  size_t rep_words = 0;
  const uint8_t* nibble_lut = nullptr;  // 16 * groups
  size_t groups = 0;                    // D / 4, a multiple of 16
  unsigned bits = 0;
  float norm2 = 0;     // ||q'||^2
  float coef_s = 0;    // 2 * delta
  float coef_sum = 0;  // 2 * lo
  float coef_0 = 0;    // -2 * m * (sum of the quantised q')
  float lb_err = 0;    // 2 * kConfidence * (||q'|| + ||e||)
  float lb_norm = 0;   // 2 * kConfidence * ||e|| / sqrt(D)
};

// Width of a centroid panel: distance_panel works on 16 centroids at a
// time, stored transposed (panel[d * kPanelWidth + l] = centroid l, value d).
inline constexpr size_t kPanelWidth = 16;

struct KernelTable {
  Isa isa;
  const char* name;
  // S (above) of n consecutive rows.
  void (*popcount_sums)(const EstimatorQuery& q, const uint8_t* codes, size_t n, uint64_t* sums);
  // Estimate and lower bound of n consecutive rows; `lb` may be null.
  void (*estimate)(const EstimatorQuery& q, const uint8_t* codes, const RowFactors* factors,
                   size_t n, float* est, float* lb);
  // The query's tables from its 4-bit values qq (D of them, D a multiple
  // of 64): the 4 planes (EstimatorQuery::planes, 4 * D / 64 words) and
  // the nibble tables (EstimatorQuery::nibble_lut, 4 * D bytes).
  void (*query_tables)(const uint8_t* qq, size_t D, uint64_t* planes, uint8_t* nibble_lut);
  // Estimates of the 32 rows of a block (no lower bound).
  void (*block_estimate)(const EstimatorQuery& q, const uint8_t* block, const RowFactors* factors,
                         float* est);
  // Squared L2 distance in float: 16 partial sums (element i goes to sum
  // i % 16), folded as sums[l] += sums[l + 8], then + 4, + 2, + 1.
  float (*l2_sq)(const float* a, const float* b, size_t dim);
  // sum_i (q_i - (codes_i - 128) * (scale / 127))^2 in float (the step
  // scale / 127 rounded to float, no fused multiply-add): 32 partial sums
  // (element i to sum i % 32), folded as sums[l] += sums[l + 16], then
  // + 8, + 4, + 2, + 1. Returned as a double.
  double (*rerank_l2_u8)(const float* q, const uint8_t* codes, size_t dim, float scale);
  // The codec's scale search (bitplane_codec.cc): for y (n values, a
  // multiple of 8) and scale t, with c_i = 2 min(trunc(t y_i), k_max) + 1,
  // ip[l] = sum of y_i c_i and nn[l] = sum of c_i^2 over i = l mod 8, in
  // float, in order of i.
  void (*scale_sums)(const float* y, size_t n, float t, float k_max, float ip[8], float nn[8]);
  // Squared distances of n_points points to the 16 centroids of a panel by
  // the expanded form:
  //   out[p * out_stride + l] = (x_norms[p] + panel_norms[l]) - 2 * dot,
  //   dot = sum_d x[p * x_stride + d] * panel[d * kPanelWidth + l],
  // with each dot accumulated in d order starting from 0.
  void (*distance_panel)(const float* x, size_t x_stride, const float* x_norms, size_t n_points,
                         size_t dim, const float* panel, const float* panel_norms, float* out,
                         size_t out_stride);
};

// The block sums of EstimatorQuery, S of a block's 32 rows, one table
// lookup at a time: the reference every block kernel is tested against.
void block_sums_plain(const EstimatorQuery& q, const uint8_t* block, uint64_t sums[32]);

// The best table this processor supports (decided on first call).
const KernelTable& active();
// The table of one instruction set; null when it was not compiled in or
// the processor (and operating system) cannot run it.
const KernelTable* table_for(Isa isa);

// Per-ISA tables (the SIMD ones exist only with NIMBREL_X86_KERNELS).
extern const KernelTable kScalarTable;
#if defined(NIMBREL_X86_KERNELS)
extern const KernelTable kAvx2Table;
extern const KernelTable kAvx512Table;
// Shared by both x86 tables (defined in kernels_avx2.cc).
void scale_sums_avx2(const float* y, size_t n, float t, float k_max, float ip[8], float nn[8]);
#endif

}  // namespace nimbrel::kernels

namespace nimbrel {

// The 8-bit rerank distance of one row (through the active kernels):
// sum_i (q_i - (codes_i - 128) * (scale / 127))^2, in float with 32
// partial sums (KernelTable::rerank_l2_u8). Callers clamp at 0 and narrow.
double rerank_l2_u8(const float* q, const uint8_t* codes, size_t dim, float scale);

}  // namespace nimbrel
