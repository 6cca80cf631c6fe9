// Portable reference kernels, and the run-time choice of kernel table.
//
// These loops are the definition the x86 kernels are tested against, and
// the kernels of every other target (arm64 included). They use only
// compiler vector extensions, which map to SSE2 or NEON, and must not
// assume a popcount instruction: the x86-64 baseline has none.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include "ivf_rabitq/kernels.h"

#include "ivf_rabitq/bits.h"
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#if defined(__aarch64__)
#include "ivf_rabitq/block_neon.h"
#endif

#include "ivf_rabitq/kmeans.h"

namespace nimbrel::kernels {
namespace {

inline uint64_t popcount64(uint64_t x) {
#if defined(__POPCNT__) || defined(__aarch64__)
  return static_cast<uint64_t>(__builtin_popcountll(x));
#else
  // Bit-parallel count: pairs, nibbles, bytes, then a multiply sums the bytes.
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fULL;
  return (x * 0x0101010101010101ULL) >> 56;
#endif
}

inline uint64_t load_u64(const uint8_t* p) {
  uint64_t v;
  __builtin_memcpy(&v, p, sizeof v);  // codes come from a file map: no alignment promise
  return v;
}

// One row's S. Row layout (b planes of W words, plane 0 first):
//
//   word:   0 .. W-1      W .. 2W-1     ...   (b-1)W .. bW-1
//   holds:  bit 0 of u    bit 1 of u          bit b-1 of u
//
// Bit i % 64 of word w of a plane belongs to coordinate 64 * w + i. The
// query planes have the same shape, four of them (qq_i has 4 bits), so
// popcount(row plane j AND query plane k) counts the coordinates where both
// bit j of u_i and bit k of qq_i are set; weighting by 2^(j+k) and summing
// gives sum_i u_i * qq_i.
uint64_t row_sum(const EstimatorQuery& q, const uint8_t* row) {
  const size_t W = q.words_per_plane;
  uint64_t s = 0;
  for (unsigned j = 0; j < q.bits; ++j) {
    for (unsigned k = 0; k < 4; ++k) {
      uint64_t c = 0;
      for (size_t w = 0; w < W; ++w) {
        c += popcount64(load_u64(row + 8 * (j * W + w)) & q.planes[k * W + w]);
      }
      s += c << (j + k);
    }
  }
  return s;
}

void popcount_sums_scalar(const EstimatorQuery& q, const uint8_t* codes, size_t n, uint64_t* sums) {
  const size_t row_bytes = q.row_words * 8;
  for (size_t r = 0; r < n; ++r) sums[r] = row_sum(q, codes + r * row_bytes);
}

void estimate_scalar(const EstimatorQuery& q, const uint8_t* codes, const RowFactors* factors,
                     size_t n, float* est, float* lb) {
  const size_t row_bytes = q.row_words * 8;
  for (size_t r = 0; r < n; ++r) {
    const float s = static_cast<float>(row_sum(q, codes + r * row_bytes));
    const RowFactors& f = factors[r];
    float t = q.coef_s * s;
    t = t + q.coef_sum * f.code_sum;
    t = t + q.coef_0;
    const float e = (q.norm2 + f.norm * f.norm) - f.ip_scale * t;
    est[r] = e;
    if (lb) lb[r] = e - (q.lb_err * f.err + q.lb_norm * f.norm);
  }
}

void query_tables_scalar(const uint8_t* qq, size_t D, uint64_t* planes, uint8_t* nibble_lut) {
  const size_t words = D / 64;
  for (size_t w = 0; w < words; ++w) {
    for (unsigned k = 0; k < 4; ++k) planes[k * words + w] = bit_k_of_bytes(qq + 64 * w, k);
  }
  // Entries c = 0..7 of a table are a, b and c weighted by bits 0, 1 and 2
  // of c: three multiplies of byte patterns, no carries (at most 45 per
  // byte). Entries 8..15 add d.
  constexpr uint64_t kBit0 = 0x0100010001000100ULL, kBit1 = 0x0101000001010000ULL,
                     kBit2 = 0x0101010100000000ULL, kAll = 0x0101010101010101ULL;
  for (size_t g = 0; g < D / 4; ++g) {
    const uint8_t* v = qq + 4 * g;
    const uint64_t low = v[0] * kBit0 + v[1] * kBit1 + v[2] * kBit2;
    const uint64_t high = low + v[3] * kAll;
    __builtin_memcpy(nibble_lut + 16 * g, &low, 8);  // little-endian: byte c is entry c
    __builtin_memcpy(nibble_lut + 16 * g + 8, &high, 8);
  }
}

#if defined(__x86_64__)
// x86-64 processors without AVX2 nearly all have SSSE3's byte shuffle, which
// looks up 16 rows of one group at once, as the AVX2 kernel does two
// groups. The same byte, 16-bit and chunk bounds hold.
__attribute__((target("ssse3"))) void block_sums_ssse3(const EstimatorQuery& q, const uint8_t* block,
                                                       uint64_t sums[32]) {
  constexpr size_t kChunk = 1024;
  const __m128i low = _mm_set1_epi8(0x0f), byte = _mm_set1_epi16(0x00ff), zero = _mm_setzero_si128();
  const size_t groups = q.groups;
  for (size_t c0 = 0; c0 < groups; c0 += kChunk) {
    const size_t c1 = groups - c0 < kChunk ? groups : c0 + kChunk;
    __m128i rows[8];  // rows 4i .. 4i + 3
    for (__m128i& v : rows) v = zero;
    for (unsigned j = 0; j < q.bits; ++j) {
      const uint8_t* p = block + 16 * (j * groups);
      __m128i even_lo = zero, odd_lo = zero, even_hi = zero, odd_hi = zero;
      for (size_t g = c0; g < c1; g += 4) {
        __m128i sum_lo = zero, sum_hi = zero;
        for (size_t k = 0; k < 4; ++k) {
          const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * (g + k)));
          const __m128i lut = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q.nibble_lut + 16 * (g + k)));
          sum_lo = _mm_add_epi8(sum_lo, _mm_shuffle_epi8(lut, _mm_and_si128(v, low)));
          sum_hi = _mm_add_epi8(sum_hi, _mm_shuffle_epi8(lut, _mm_and_si128(_mm_srli_epi16(v, 4), low)));
        }
        even_lo = _mm_add_epi16(even_lo, _mm_and_si128(sum_lo, byte));
        odd_lo = _mm_add_epi16(odd_lo, _mm_srli_epi16(sum_lo, 8));
        even_hi = _mm_add_epi16(even_hi, _mm_and_si128(sum_hi, byte));
        odd_hi = _mm_add_epi16(odd_hi, _mm_srli_epi16(sum_hi, 8));
      }
      const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(j));
      const __m128i in_order[4] = {_mm_unpacklo_epi16(even_lo, odd_lo), _mm_unpackhi_epi16(even_lo, odd_lo),
                                   _mm_unpacklo_epi16(even_hi, odd_hi), _mm_unpackhi_epi16(even_hi, odd_hi)};
      for (size_t a = 0; a < 4; ++a) {
        rows[2 * a] = _mm_add_epi32(rows[2 * a], _mm_sll_epi32(_mm_unpacklo_epi16(in_order[a], zero), shift));
        rows[2 * a + 1] = _mm_add_epi32(rows[2 * a + 1], _mm_sll_epi32(_mm_unpackhi_epi16(in_order[a], zero), shift));
      }
    }
    uint32_t chunk[32];
    for (size_t i = 0; i < 8; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(chunk + 4 * i), rows[i]);
    for (size_t r = 0; r < 32; ++r) sums[r] += chunk[r];
  }
}

bool cpu_has_ssse3() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3") != 0;
  }();
  return has;
}
#endif

}  // namespace

// A block's sums by the nibble tables, one lookup at a time; accumulated in
// 64 bits, since a plane's sum reaches 60 * D / 4.
void block_sums_plain(const EstimatorQuery& q, const uint8_t* block, uint64_t sums[32]) {
  for (size_t i = 0; i < 32; ++i) sums[i] = 0;
  const size_t groups = q.groups;
  for (unsigned j = 0; j < q.bits; ++j) {
    uint64_t acc[32] = {};
    const uint8_t* p = block + 16 * j * groups;
    for (size_t g = 0; g < groups; ++g, p += 16) {
      const uint8_t* lut = q.nibble_lut + 16 * g;
      for (size_t i = 0; i < 16; ++i) {
        acc[i] += lut[p[i] & 0x0f];
        acc[i + 16] += lut[p[i] >> 4];
      }
    }
    for (size_t i = 0; i < 32; ++i) sums[i] += acc[i] << j;
  }
}

namespace {

// The portable table's block kernel: NEON lookups on arm64, SSSE3 ones on
// x86-64 processors that have them, else one lookup at a time.
void block_estimate_scalar(const EstimatorQuery& q, const uint8_t* block, const RowFactors* factors,
                           float* est) {
  uint64_t sums[32] = {};
#if defined(__aarch64__)
  neon::block_sums(q, block, sums);
#elif defined(__x86_64__)
  if (cpu_has_ssse3()) {
    block_sums_ssse3(q, block, sums);
  } else {
    block_sums_plain(q, block, sums);
  }
#else
  block_sums_plain(q, block, sums);
#endif
  for (size_t r = 0; r < 32; ++r) {
    const float s = static_cast<float>(sums[r]);
    const RowFactors& f = factors[r];
    float t = q.coef_s * s;
    t = t + q.coef_sum * f.code_sum;
    t = t + q.coef_0;
    est[r] = (q.norm2 + f.norm * f.norm) - f.ip_scale * t;
  }
}

// The portable kernels below use GCC/Clang vector extensions: 4 floats or 2
// doubles per operation, which become SSE2 or NEON instructions (and plain
// code on targets without either). Element-wise IEEE arithmetic, so the
// results are those of the written-out scalar loops.
typedef float Float4 __attribute__((vector_size(16)));
typedef double Double2 __attribute__((vector_size(16)));

inline Float4 load4(const float* p) {
  Float4 v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}

float l2_sq_scalar(const float* a, const float* b, size_t dim) {
  Float4 acc[4] = {};  // sums 0-3, 4-7, 8-11, 12-15
  size_t i = 0;
  for (; i + 16 <= dim; i += 16) {
    for (size_t q = 0; q < 4; ++q) {
      const Float4 d = load4(a + i + 4 * q) - load4(b + i + 4 * q);
      acc[q] += d * d;
    }
  }
  float sums[16];
  __builtin_memcpy(sums, acc, sizeof sums);
  for (size_t l = 0; i + l < dim; ++l) {
    const float d = a[i + l] - b[i + l];
    sums[l] += d * d;
  }
  for (size_t l = 0; l < 8; ++l) sums[l] += sums[l + 8];
  for (size_t l = 0; l < 4; ++l) sums[l] += sums[l + 4];
  for (size_t l = 0; l < 2; ++l) sums[l] += sums[l + 2];
  return sums[0] + sums[1];
}

double rerank_l2_u8_scalar(const float* q, const uint8_t* codes, size_t dim, float scale) {
  const float step = scale / 127.0f;
  Float4 acc[8] = {};  // sums 4p .. 4p + 3
  size_t i = 0;
  for (; i + 32 <= dim; i += 32) {
    for (size_t p = 0; p < 8; ++p) {
      const size_t at = i + 4 * p;
      const Float4 c = {static_cast<float>(static_cast<int>(codes[at]) - 128),
                        static_cast<float>(static_cast<int>(codes[at + 1]) - 128),
                        static_cast<float>(static_cast<int>(codes[at + 2]) - 128),
                        static_cast<float>(static_cast<int>(codes[at + 3]) - 128)};
      const Float4 d = load4(q + at) - c * step;
      acc[p] += d * d;
    }
  }
  float sums[32];
  __builtin_memcpy(sums, acc, sizeof sums);
  for (size_t l = 0; i + l < dim; ++l) {
    const float d = q[i + l] - static_cast<float>(static_cast<int>(codes[i + l]) - 128) * step;
    sums[l] += d * d;
  }
  for (size_t width = 16; width >= 2; width /= 2) {
    for (size_t l = 0; l < width; ++l) sums[l] += sums[l + width];
  }
  return static_cast<double>(sums[0] + sums[1]);
}

typedef int32_t Int4 __attribute__((vector_size(16)));

void scale_sums_scalar(const float* y, size_t n, float t, float k_max, float ip[8], float nn[8]) {
  Float4 ip_acc[2] = {}, nn_acc[2] = {};  // sums 0-3 and 4-7
  const Float4 tv = t - Float4{}, top = k_max - Float4{};
  for (size_t i = 0; i < n; i += 8) {
    for (size_t h = 0; h < 2; ++h) {
      const Float4 v = load4(y + i + 4 * h);
      const Float4 k = __builtin_convertvector(__builtin_convertvector(tv * v, Int4), Float4);
      // min(k, top) as a bitwise select: a vector ?: may not be vectorised.
      const Int4 below = k < top;
      const Int4 kept =
          (__builtin_bit_cast(Int4, k) & below) | (__builtin_bit_cast(Int4, top) & ~below);
      const Float4 c = 2.0f * __builtin_bit_cast(Float4, kept) + 1.0f;
      ip_acc[h] += v * c;
      nn_acc[h] += c * c;
    }
  }
  __builtin_memcpy(ip, ip_acc, 8 * sizeof(float));
  __builtin_memcpy(nn, nn_acc, 8 * sizeof(float));
}

// Four points at a time share each panel row load.
void distance_panel_scalar(const float* x, size_t x_stride, const float* x_norms, size_t n_points,
                           size_t dim, const float* panel, const float* panel_norms, float* out,
                           size_t out_stride) {
  constexpr size_t kRows = 4;
  const Float4 cn[4] = {load4(panel_norms), load4(panel_norms + 4), load4(panel_norms + 8),
                        load4(panel_norms + 12)};
  for (size_t p = 0; p < n_points; p += kRows) {
    const size_t rows = n_points - p < kRows ? n_points - p : kRows;
    Float4 acc[kRows][4] = {};
    for (size_t d = 0; d < dim; ++d) {
      const float* row = panel + d * kPanelWidth;
      const Float4 c[4] = {load4(row), load4(row + 4), load4(row + 8), load4(row + 12)};
      for (size_t r = 0; r < rows; ++r) {
        const float v = x[(p + r) * x_stride + d];
        for (size_t q = 0; q < 4; ++q) acc[r][q] += v * c[q];
      }
    }
    for (size_t r = 0; r < rows; ++r) {
      for (size_t q = 0; q < 4; ++q) {
        const Float4 dist = (x_norms[p + r] + cn[q]) - 2.0f * acc[r][q];
        __builtin_memcpy(out + (p + r) * out_stride + 4 * q, &dist, sizeof dist);
      }
    }
  }
}

#if defined(NIMBREL_X86_KERNELS)
bool cpu_has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
         __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi2");
}
// __builtin_cpu_supports also checks that the operating system saves the
// AVX-512 register state (XCR0), not only the CPUID bits.
bool cpu_has_avx512() {
  __builtin_cpu_init();
  return cpu_has_avx2() && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
         __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vpopcntdq");
}
#endif

}  // namespace

const KernelTable kScalarTable = {Isa::kScalar,        "scalar",
                                  popcount_sums_scalar, estimate_scalar,
                                  query_tables_scalar,  block_estimate_scalar, l2_sq_scalar,         rerank_l2_u8_scalar,
                                  scale_sums_scalar,    distance_panel_scalar};

const KernelTable* table_for(Isa isa) {
  switch (isa) {
    case Isa::kScalar:
      return &kScalarTable;
#if defined(NIMBREL_X86_KERNELS)
    case Isa::kAvx2:
      return cpu_has_avx2() ? &kAvx2Table : nullptr;
    case Isa::kAvx512:
      return cpu_has_avx512() ? &kAvx512Table : nullptr;
#endif
    default:
      return nullptr;
  }
}

const KernelTable& active() {
  static const KernelTable* const chosen = [] {
    for (Isa isa : {Isa::kAvx512, Isa::kAvx2}) {
      if (const KernelTable* t = table_for(isa)) return t;
    }
    return &kScalarTable;
  }();
  return *chosen;
}

}  // namespace nimbrel::kernels

namespace nimbrel {

float l2_sq(const float* a, const float* b, size_t dim) {
  return kernels::active().l2_sq(a, b, dim);
}

double rerank_l2_u8(const float* q, const uint8_t* codes, size_t dim, float scale) {
  return kernels::active().rerank_l2_u8(q, codes, dim, scale);
}

}  // namespace nimbrel
