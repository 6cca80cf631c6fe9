// The id -> row table of idhash.bin: one 16-byte entry per main row
// (u64 FNV-1a hash of the id bytes, u32 row, u32 zero), sorted by
// (hash, row). A lookup binary-searches the hash and then compares the id
// bytes, so a damaged table can make an id unfindable but never return a
// wrong row. The table is derived from ids.bin and ids_off.bin, so open
// rebuilds it when it is missing or damaged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace nimbrel {

// 64-bit FNV-1a.
uint64_t fnv1a64(std::string_view bytes);

// The id bytes of `row` from ids.bin (`ids`, `ids_len` bytes) and
// ids_off.bin (`offsets`, n + 1 little-endian u64). False when the row's
// offset pair is missing, reversed or runs past the id bytes. meta.bin and
// meta_off.bin share the layout and are sliced the same way.
bool id_bytes_of(const uint8_t* ids, uint64_t ids_len, const uint8_t* offsets, uint64_t n,
                 uint64_t row, std::string_view* out);

// The content of idhash.bin for n rows. A row whose offsets are unusable
// is entered with the hash of the empty id (it can never match).
std::vector<uint8_t> build_id_hash_table(const uint8_t* ids, uint64_t ids_len,
                                         const uint8_t* offsets, uint64_t n);

}  // namespace nimbrel
