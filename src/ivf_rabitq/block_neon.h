// The block kernel for arm64, where NEON is part of the baseline: the same
// table lookups as the AVX2 and AVX-512 kernels, 16 rows per tbl
// instruction. Included by kernels_scalar.cc on arm64 only (and by a test
// that runs it on other machines through a plain-C stand-in for the
// handful of intrinsics it uses).
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__aarch64__)
#include <arm_neon.h>
#endif

#include "ivf_rabitq/kernels.h"

namespace nimbrel::kernels::neon {

// S of the 32 rows of a block (see EstimatorQuery). Four lookups add up in
// bytes (at most 240), then widen to 16 bits; a chunk of at most 1024
// groups keeps those below 2^16, and the weighted planes of a chunk below
// 2^32 (1024 * 60 * 255).
inline void block_sums(const EstimatorQuery& q, const uint8_t* block, uint64_t sums[32]) {
  constexpr size_t kChunk = 1024;
  const uint8x16_t low = vdupq_n_u8(0x0f);
  const size_t groups = q.groups;
  for (size_t r = 0; r < 32; ++r) sums[r] = 0;
  for (size_t c0 = 0; c0 < groups; c0 += kChunk) {
    const size_t c1 = groups - c0 < kChunk ? groups : c0 + kChunk;
    uint32x4_t rows[8];  // rows 4i .. 4i + 3
    for (auto& v : rows) v = vdupq_n_u32(0);
    for (unsigned j = 0; j < q.bits; ++j) {
      const uint8_t* p = block + 16 * (j * groups);
      uint16x8_t acc[4] = {vdupq_n_u16(0), vdupq_n_u16(0), vdupq_n_u16(0), vdupq_n_u16(0)};
      for (size_t g = c0; g < c1; g += 4) {
        uint8x16_t sum_lo = vdupq_n_u8(0), sum_hi = vdupq_n_u8(0);
        for (size_t k = 0; k < 4; ++k) {
          const uint8x16_t v = vld1q_u8(p + 16 * (g + k));
          const uint8x16_t lut = vld1q_u8(q.nibble_lut + 16 * (g + k));
          sum_lo = vaddq_u8(sum_lo, vqtbl1q_u8(lut, vandq_u8(v, low)));
          sum_hi = vaddq_u8(sum_hi, vqtbl1q_u8(lut, vshrq_n_u8(v, 4)));
        }
        acc[0] = vaddw_u8(acc[0], vget_low_u8(sum_lo));   // rows 0-7
        acc[1] = vaddw_u8(acc[1], vget_high_u8(sum_lo));  // rows 8-15
        acc[2] = vaddw_u8(acc[2], vget_low_u8(sum_hi));   // rows 16-23
        acc[3] = vaddw_u8(acc[3], vget_high_u8(sum_hi));  // rows 24-31
      }
      const int32x4_t shift = vdupq_n_s32(static_cast<int32_t>(j));
      for (size_t a = 0; a < 4; ++a) {
        rows[2 * a] = vaddq_u32(rows[2 * a], vshlq_u32(vmovl_u16(vget_low_u16(acc[a])), shift));
        rows[2 * a + 1] = vaddq_u32(rows[2 * a + 1], vshlq_u32(vmovl_u16(vget_high_u16(acc[a])), shift));
      }
    }
    uint32_t chunk[32];
    for (size_t i = 0; i < 8; ++i) vst1q_u32(chunk + 4 * i, rows[i]);
    for (size_t r = 0; r < 32; ++r) sums[r] += chunk[r];
  }
}

}  // namespace nimbrel::kernels::neon
