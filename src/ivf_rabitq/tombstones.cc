#include "ivf_rabitq/tombstones.h"

#include <bit>

#include "ivf_rabitq/record.h"
#include "ivf_rabitq/storage.h"

namespace nimbrel {
namespace {

constexpr char kMagic[4] = {'N', 'B', 'T', 'S'};
constexpr char kFile[] = "deleted.bin";

// The portable format (without runs): u32 cookie 12346, u32 container
// count n, n x (u16 key, u16 cardinality - 1), n x u32 container offset,
// then the containers: an array of card u16 values when card <= 4096,
// else a bitmap of 8192 bytes.
constexpr uint32_t kCookieNoRuns = 12346;
constexpr uint32_t kCookieRuns = 12347;
constexpr uint32_t kMaxArrayCardinality = 4096;
constexpr size_t kBitmapBytes = 8192;

Status Bad(const std::string& what) { return Status::Corrupt(std::string("corrupt index: ") + kFile + ": " + what); }
std::string U(uint64_t v) { return std::to_string(v); }

}  // namespace

Status Tombstones::validate_portable(const uint8_t* data, size_t len) {
  if (len < 8) return Bad("size " + U(len) + " is shorter than the bitmap's 8-byte head");
  const uint32_t cookie = load_le<uint32_t>(data);
  if ((cookie & 0xFFFF) == kCookieRuns) return Bad("run containers are not accepted");
  if (cookie != kCookieNoRuns) return Bad("unknown bitmap cookie " + U(cookie));
  const uint64_t n = load_le<uint32_t>(data + 4);
  if (n > 65536) return Bad(U(n) + " containers (at most 65536)");
  const uint64_t head = 8 + n * 4 + n * 4;
  if (head > len) return Bad(U(n) + " containers do not fit in " + U(len) + " bytes");
  uint64_t at = head;
  int64_t previous_key = -1;
  for (uint64_t i = 0; i < n; ++i) {
    const uint32_t key = load_le<uint16_t>(data + 8 + i * 4);
    const uint32_t card = static_cast<uint32_t>(load_le<uint16_t>(data + 8 + i * 4 + 2)) + 1;
    const uint32_t offset = load_le<uint32_t>(data + 8 + n * 4 + i * 4);
    if (static_cast<int64_t>(key) <= previous_key) return Bad("container keys are not ascending");
    previous_key = key;
    if (offset != at) return Bad("container " + U(i) + " at offset " + U(offset) + ", expected " + U(at));
    if (card <= kMaxArrayCardinality) {
      if (len - at < uint64_t{card} * 2) return Bad("container " + U(i) + " is cut short");
      int32_t prev = -1;
      for (uint32_t j = 0; j < card; ++j) {
        const int32_t v = load_le<uint16_t>(data + at + j * 2);
        if (v <= prev) return Bad("container " + U(i) + " is not strictly ascending");
        prev = v;
      }
      at += uint64_t{card} * 2;
    } else {
      if (len - at < kBitmapBytes) return Bad("container " + U(i) + " is cut short");
      uint64_t bits = 0;
      for (size_t w = 0; w < kBitmapBytes / 8; ++w) bits += std::popcount(load_le<uint64_t>(data + at + w * 8));
      if (bits != card) return Bad("container " + U(i) + " holds " + U(bits) + " rows, its head says " + U(card));
      at += kBitmapBytes;
    }
  }
  if (at != len) return Bad("size " + U(len) + " (the bitmap takes " + U(at) + ")");
  return Status::Ok();
}

std::vector<uint8_t> Tombstones::encode() const {
  // Serialised from a copy: run containers are dropped first, and the set
  // itself is left as it is for the readers that may hold it.
  roaring_bitmap_t* copy = roaring_bitmap_copy(bm_);
  roaring_bitmap_remove_run_compression(copy);
  std::vector<uint8_t> body(roaring_bitmap_portable_size_in_bytes(copy));
  roaring_bitmap_portable_serialize(copy, reinterpret_cast<char*>(body.data()));
  roaring_bitmap_free(copy);
  return wrap_with_header(kMagic, body);
}

Result<Tombstones> Tombstones::decode(const std::vector<uint8_t>& file) {
  NIMBREL_ASSIGN_OR_RETURN(std::vector<uint8_t> body, unwrap_header(kMagic, file, kFile));
  NIMBREL_RETURN_IF_ERROR(validate_portable(body.data(), body.size()));
  roaring_bitmap_t* bm =
      roaring_bitmap_portable_deserialize_safe(reinterpret_cast<const char*>(body.data()), body.size());
  if (bm == nullptr) return Bad("the bitmap does not deserialise");
  Tombstones t;
  std::swap(t.bm_, bm);
  roaring_bitmap_free(bm);
  return t;
}

}  // namespace nimbrel
