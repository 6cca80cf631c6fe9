// The tombstone set: the rows deleted or replaced by an upsert, as a
// Roaring bitmap of u32 rows. Stored in deleted.bin as the checksummed
// file header ("NBTS", CRC-32 of the body) around the portable Roaring
// serialisation without run containers (docs/format.md, "deleted.bin").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <roaring/roaring.h>

#include "ivf_rabitq/status.h"

namespace nimbrel {

class Tombstones {
 public:
  Tombstones() : bm_(roaring_bitmap_create()) {}
  ~Tombstones() { roaring_bitmap_free(bm_); }
  Tombstones(Tombstones&& o) noexcept : bm_(o.bm_) { o.bm_ = roaring_bitmap_create(); }
  Tombstones& operator=(Tombstones&& o) noexcept {
    std::swap(bm_, o.bm_);
    return *this;
  }
  Tombstones(const Tombstones&) = delete;
  Tombstones& operator=(const Tombstones&) = delete;

  bool contains(uint32_t row) const { return roaring_bitmap_contains(bm_, row); }
  // True when the row was not in the set before.
  bool add(uint32_t row) { return roaring_bitmap_add_checked(bm_, row); }
  uint64_t cardinality() const { return roaring_bitmap_get_cardinality(bm_); }
  bool empty() const { return roaring_bitmap_is_empty(bm_); }
  // Removes every row >= first; returns how many there were.
  uint64_t remove_from(uint32_t first) {
    const uint64_t before = cardinality();
    roaring_bitmap_remove_range(bm_, first, uint64_t{1} << 32);
    return before - cardinality();
  }
  // The largest row; only meaningful when not empty.
  uint32_t max() const { return roaring_bitmap_maximum(bm_); }
  // Calls f(row) for every row, ascending.
  template <typename F>
  void for_each(F&& f) const {
    roaring_uint32_iterator_t it;
    roaring_init_iterator(bm_, &it);
    while (it.has_value) {
      f(it.current_value);
      roaring_advance_uint32_iterator(&it);
    }
  }

  // deleted.bin's bytes.
  std::vector<uint8_t> encode() const;
  // Checks deleted.bin's header and validates the serialisation byte by
  // byte before the library sees it (the library trusts its input).
  // Errors are kCorrupt "corrupt index: deleted.bin: ...".
  static Result<Tombstones> decode(const std::vector<uint8_t>& file);
  // The largest deleted.bin there can be: the 8-byte file header, the
  // bitmap's 8-byte head, and all 65536 containers of the u32 row space at
  // their largest (8 bytes of key, cardinality and offset, 8192 of bitmap).
  static constexpr uint64_t kMaxFileBytes = 8 + 8 + 65536ull * (8 + 8192);
  // The portable serialisation alone: its own check, for tests of hostile bytes.
  static Status validate_portable(const uint8_t* data, size_t len);

 private:
  roaring_bitmap_t* bm_;
};

}  // namespace nimbrel
