// Small bit-mask helpers shared by the block evaluations (filters, query
// bit-planes): a mask of the low `count` bits, and one chosen bit of each
// of 64 small bytes gathered into a word.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nimbrel {

// The number of set bits. x86-64's baseline has no popcount instruction
// (the compiler calls a library routine instead); processors that have one
// use it.
#if defined(__x86_64__) && !defined(__POPCNT__)
__attribute__((target("popcnt"))) inline uint64_t popcount_instruction(uint64_t x) {
  return static_cast<uint64_t>(__builtin_popcountll(x));
}
inline uint64_t popcount64(uint64_t x) {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("popcnt") != 0;
  }();
  return has ? popcount_instruction(x) : static_cast<uint64_t>(__builtin_popcountll(x));
}
#else
inline uint64_t popcount64(uint64_t x) { return static_cast<uint64_t>(__builtin_popcountll(x)); }
#endif

// Bits 0 .. count - 1 set (count at most 64).
inline uint64_t low_bits(uint32_t count) { return count >= 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1; }

// Bit i of the result is bit k of v[i], for 64 values below 16.
inline uint64_t bit_k_of_bytes(const uint8_t* v, unsigned k) {
#if defined(__SSE2__)
  // Moving bit k to each byte's top bit lets movemask gather 16 at a time
  // (values below 16: no bit crosses into the next byte's top bit).
  uint64_t out = 0;
  for (unsigned part = 0; part < 4; ++part) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 16 * part));
    x = _mm_slli_epi16(x, static_cast<int>(7 - k));
    out |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(x))) << (16 * part);
  }
  return out;
#else
  uint64_t out = 0;
  for (unsigned i = 0; i < 64; ++i) out |= static_cast<uint64_t>((v[i] >> k) & 1) << i;
  return out;
#endif
}

}  // namespace nimbrel
