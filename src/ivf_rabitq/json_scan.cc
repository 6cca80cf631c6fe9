#include "ivf_rabitq/json_scan.h"

#include <cstring>

namespace nimbrel::json_scan {
namespace {

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// Bytes of `w` equal to `c` get their high bit set in the result; the
// lowest set bit is exact (borrows only run upwards, past the first match).
inline uint64_t MatchBytes(uint64_t w, uint8_t c) {
  const uint64_t x = w ^ (kOnes * c);
  return (x - kOnes) & ~x & kHighs;
}

// The position of the first quote or backslash at or after `i`, or `len`.
// Eight bytes at a time while they fit: a string's content is skipped at
// word speed. Finds exactly what a byte-by-byte search finds.
inline size_t NextQuoteOrBackslash(const uint8_t* data, size_t i, size_t len) {
  for (; i + 8 <= len; i += 8) {
    uint64_t w;
    std::memcpy(&w, data + i, sizeof w);  // little-endian: byte 0 is the low byte
    const uint64_t hits = MatchBytes(w, '"') | MatchBytes(w, '\\');
    if (hits != 0) return i + static_cast<size_t>(__builtin_ctzll(hits) / 8);
  }
  for (; i < len; ++i) {
    if (data[i] == '"' || data[i] == '\\') return i;
  }
  return len;
}

}  // namespace

Counts scan(const uint8_t* data, size_t len, uint32_t state) {
  Counts c;
  c.state = (state & kInString) ? state : 0;
  size_t i = 0;
  while (i < len) {
    if (c.state & kInString) {
      if (c.state & kEscaped) {
        c.state = kInString;
        ++i;  // the escaped byte, whatever it is
        continue;
      }
      i = NextQuoteOrBackslash(data, i, len);
      if (i == len) break;
      c.state = data[i] == '"' ? 0 : (kInString | kEscaped);
      ++i;
      continue;
    }
    switch (data[i]) {
      case ',': ++c.commas; break;
      case '[': case '{': ++c.openers; break;
      case ':': ++c.colons; break;
      case '"': c.state = kInString; break;
      default: break;
    }
    ++i;
  }
  return c;
}

}  // namespace nimbrel::json_scan
