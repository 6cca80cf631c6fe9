// The arm64 block kernel, run here through plain stand-ins for the NEON
// intrinsics it uses (on arm64 the real ones, and this test compares them
// with the portable popcount estimate all the same).
#if !defined(__aarch64__)
#include <cstdint>
#include <cstring>

namespace {
template <typename T, int N>
struct Vec {
  T v[N];
};
using uint8x16_t = Vec<uint8_t, 16>;
using uint8x8_t = Vec<uint8_t, 8>;
using uint16x8_t = Vec<uint16_t, 8>;
using uint16x4_t = Vec<uint16_t, 4>;
using uint32x4_t = Vec<uint32_t, 4>;
using int32x4_t = Vec<int32_t, 4>;

template <typename V, typename T>
V dup(T x) {
  V r;
  for (auto& e : r.v) e = x;
  return r;
}
uint8x16_t vdupq_n_u8(uint8_t x) { return dup<uint8x16_t>(x); }
uint16x8_t vdupq_n_u16(uint16_t x) { return dup<uint16x8_t>(x); }
uint32x4_t vdupq_n_u32(uint32_t x) { return dup<uint32x4_t>(x); }
int32x4_t vdupq_n_s32(int32_t x) { return dup<int32x4_t>(x); }
uint8x16_t vld1q_u8(const uint8_t* p) {
  uint8x16_t r;
  std::memcpy(r.v, p, 16);
  return r;
}
void vst1q_u32(uint32_t* p, uint32x4_t x) { std::memcpy(p, x.v, 16); }
uint8x16_t vandq_u8(uint8x16_t a, uint8x16_t b) {
  for (int i = 0; i < 16; ++i) a.v[i] &= b.v[i];
  return a;
}
uint8x16_t vshrq_n_u8(uint8x16_t a, int n) {
  for (auto& e : a.v) e = static_cast<uint8_t>(e >> n);
  return a;
}
uint8x16_t vaddq_u8(uint8x16_t a, uint8x16_t b) {
  for (int i = 0; i < 16; ++i) a.v[i] = static_cast<uint8_t>(a.v[i] + b.v[i]);
  return a;
}
uint8x16_t vqtbl1q_u8(uint8x16_t t, uint8x16_t idx) {
  uint8x16_t r;
  for (int i = 0; i < 16; ++i) r.v[i] = idx.v[i] < 16 ? t.v[idx.v[i]] : 0;
  return r;
}
template <typename H, typename W>
H half(const W& x, int from) {
  H r;
  for (int i = 0; i < static_cast<int>(sizeof r.v / sizeof r.v[0]); ++i) r.v[i] = x.v[from + i];
  return r;
}
uint8x8_t vget_low_u8(uint8x16_t x) { return half<uint8x8_t>(x, 0); }
uint8x8_t vget_high_u8(uint8x16_t x) { return half<uint8x8_t>(x, 8); }
uint16x4_t vget_low_u16(uint16x8_t x) { return half<uint16x4_t>(x, 0); }
uint16x4_t vget_high_u16(uint16x8_t x) { return half<uint16x4_t>(x, 4); }
uint16x8_t vaddw_u8(uint16x8_t a, uint8x8_t b) {
  for (int i = 0; i < 8; ++i) a.v[i] = static_cast<uint16_t>(a.v[i] + b.v[i]);
  return a;
}
uint32x4_t vmovl_u16(uint16x4_t a) {
  uint32x4_t r;
  for (int i = 0; i < 4; ++i) r.v[i] = a.v[i];
  return r;
}
uint32x4_t vshlq_u32(uint32x4_t a, int32x4_t n) {
  for (int i = 0; i < 4; ++i) a.v[i] <<= n.v[i];
  return a;
}
uint32x4_t vaddq_u32(uint32x4_t a, uint32x4_t b) {
  for (int i = 0; i < 4; ++i) a.v[i] += b.v[i];
  return a;
}
}  // namespace
#endif

#include "ivf_rabitq/block_neon.h"

#include <gtest/gtest.h>

#include <vector>

#include "ivf_rabitq/bitplane_codec.h"
#include "ivf_rabitq/query_lut.h"
#include "test_util.h"

namespace nimbrel::kernels {
namespace {

TEST(NeonBlockKernel, SumsEqualThePopcountSums) {
  XorShift64 rng(11);
  for (size_t D : {64u, 192u, 4160u}) {
    for (unsigned bits : {1u, 2u, 5u, 8u}) {
      const size_t row_bytes = code_bytes_for(D, bits);
      std::vector<uint8_t> rows(kBlockRows * row_bytes), block(rows.size());
      for (uint8_t& c : rows) c = D == 4160 ? 0xff : static_cast<uint8_t>(rng.next());
      block_codes(rows.data(), row_bytes, block.data());
      std::vector<float> q = GaussianVector(D, rng);
      QueryLut lut;
      lut.prepare(q.data(), D, bits, 1.0f);
      const EstimatorQuery kq = lut.kernel_query();
      std::vector<uint64_t> want(kBlockRows), got(kBlockRows);
      kScalarTable.popcount_sums(kq, rows.data(), kBlockRows, want.data());
      neon::block_sums(kq, block.data(), got.data());
      ASSERT_EQ(got, want) << "D " << D << " bits " << bits;
    }
  }
}

}  // namespace
}  // namespace nimbrel::kernels
