// Counting the structure of JSON text without parsing it: the commas,
// openers ("[" and "{") and colons that stand outside quoted strings. The
// segment estimates the memory a metadata text costs from these counts,
// and the Python scanners give the host the same counts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nimbrel::json_scan {

// The state carried from one chunk of a document to the next: bit 0 set,
// inside a string; bit 1 set (with bit 0), the next byte is escaped (the
// chunk ended after an odd run of backslashes inside a string).
inline constexpr uint32_t kInString = 1;
inline constexpr uint32_t kEscaped = 2;

struct Counts {
  uint64_t commas = 0;
  uint64_t openers = 0;
  uint64_t colons = 0;
  uint32_t state = 0;
};

// Scans `len` bytes from `state` (bit 1 without bit 0 counts as 0). Inside
// a string, each backslash escapes the next byte; outside, a backslash is
// just a byte.
Counts scan(const uint8_t* data, size_t len, uint32_t state);

}  // namespace nimbrel::json_scan
