#include "ivf_rabitq/id_hash.h"

#include <tbb/parallel_for.h>
#include <tbb/parallel_sort.h>

#include "ivf_rabitq/record.h"
#include "ivf_rabitq/segment_format.h"

namespace nimbrel {

uint64_t fnv1a64(std::string_view bytes) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  return h;
}

bool id_bytes_of(const uint8_t* ids, uint64_t ids_len, const uint8_t* offsets, uint64_t n,
                 uint64_t row, std::string_view* out) {
  if (row >= n) return false;
  const uint64_t begin = load_le<uint64_t>(offsets + row * segment::kOffsetBytes);
  const uint64_t end = load_le<uint64_t>(offsets + (row + 1) * segment::kOffsetBytes);
  if (end < begin || end > ids_len) return false;
  *out = std::string_view(reinterpret_cast<const char*>(ids) + begin, end - begin);
  return true;
}

std::vector<uint8_t> build_id_hash_table(const uint8_t* ids, uint64_t ids_len,
                                         const uint8_t* offsets, uint64_t n) {
  struct Entry {
    uint64_t hash;
    uint32_t row;
  };
  std::vector<Entry> entries(n);
  tbb::parallel_for(tbb::blocked_range<uint64_t>(0, n, 4096), [&](const tbb::blocked_range<uint64_t>& r) {
    for (uint64_t row = r.begin(); row < r.end(); ++row) {
      std::string_view id;
      if (!id_bytes_of(ids, ids_len, offsets, n, row, &id)) id = {};
      entries[row] = {fnv1a64(id), static_cast<uint32_t>(row)};
    }
  });
  // (hash, row) pairs are distinct, so the order is total and the result
  // does not depend on the sort's scheduling.
  tbb::parallel_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.hash < b.hash || (a.hash == b.hash && a.row < b.row);
  });
  std::vector<uint8_t> out(n * segment::kIdHashEntryBytes);
  for (uint64_t i = 0; i < n; ++i) {
    uint8_t* p = out.data() + i * segment::kIdHashEntryBytes;
    store_le<uint64_t>(p, entries[i].hash);
    store_le<uint32_t>(p + 8, entries[i].row);
    store_le<uint32_t>(p + 12, 0);
  }
  return out;
}

}  // namespace nimbrel
