// deleted.bin: round trips over every container kind, and hostile bytes,
// which must be refused before the bitmap library sees them.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "ivf_rabitq/record.h"
#include "ivf_rabitq/storage.h"
#include "ivf_rabitq/tombstones.h"

namespace nimbrel {
namespace {

std::vector<uint32_t> RowsOf(const Tombstones& t) {
  std::vector<uint32_t> rows;
  t.for_each([&](uint32_t r) { rows.push_back(r); });
  return rows;
}

Tombstones Mixed() {
  Tombstones t;
  for (uint32_t r = 0; r < 5000; ++r) t.add(r * 2);           // a bitmap container
  for (uint32_t r = 70000; r < 70100; ++r) t.add(r);          // a run, stored as an array
  t.add(0xFFFFFFFEu);
  return t;
}

TEST(Tombstones, EveryContainerKindRoundTrips) {
  for (int which = 0; which < 2; ++which) {
    Tombstones t = which == 0 ? Tombstones() : Mixed();
    auto back = Tombstones::decode(t.encode());
    ASSERT_TRUE(back.ok()) << back.status().message();
    EXPECT_EQ(RowsOf(*back), RowsOf(t));
    EXPECT_EQ(back->cardinality(), t.cardinality());
  }
}

// The body of deleted.bin, rewrapped with a valid header after a change,
// so that the bitmap checks (not the CRC) must catch it.
std::vector<uint8_t> Rewrap(const std::vector<uint8_t>& body) {
  static constexpr char kMagic[4] = {'N', 'B', 'T', 'S'};
  return wrap_with_header(kMagic, body);
}

TEST(Tombstones, HostileBitmapsAreRefusedWithAMessage) {
  const std::vector<uint8_t> file = Mixed().encode();
  const std::vector<uint8_t> body(file.begin() + 8, file.end());
  auto refuse = [&](std::vector<uint8_t> b, const std::string& why) {
    auto r = Tombstones::decode(Rewrap(b));
    ASSERT_FALSE(r.ok()) << why;
    EXPECT_EQ(r.status().message().rfind("corrupt index: deleted.bin: ", 0), 0u) << r.status().message();
  };
  std::vector<uint8_t> b = body;
  store_le<uint32_t>(b.data(), 12347);
  refuse(b, "run cookie");
  refuse(std::vector<uint8_t>(body.begin(), body.begin() + 6), "short");
  b = body;
  b.insert(b.end(), 1, 0);
  refuse(b, "trailing byte");
  b = body;
  store_le<uint32_t>(b.data() + 4, 1000000);
  refuse(b, "container count");
  // Container 1 is the array of 70000..70099 (key 1); swap two values.
  const uint32_t n = load_le<uint32_t>(body.data() + 4);
  const uint32_t off1 = load_le<uint32_t>(body.data() + 8 + n * 4 + 4);
  b = body;
  std::swap(b[off1], b[off1 + 2]);
  std::swap(b[off1 + 1], b[off1 + 3]);
  refuse(b, "unsorted array");
  b = body;
  b[8 + n * 4 + 4 + 20] ^= 1;
  refuse(b, "bad offset");
  b = body;
  store_le<uint16_t>(b.data() + 8 + 4, 0);  // key 1 -> 0: keys repeat
  refuse(b, "repeated key");
  b = body;
  b[8 + n * 8] ^= 0x01;  // one bit of the bitmap container: popcount differs
  refuse(b, "popcount");
  // And a damaged file is caught by its CRC first.
  std::vector<uint8_t> f = file;
  f.back() ^= 1;
  EXPECT_FALSE(Tombstones::decode(f).ok());
}

TEST(Tombstones, RandomDamageNeverCrashesAndOnlyValidBitmapsPass) {
  const std::vector<uint8_t> file = Mixed().encode();
  const std::vector<uint8_t> body(file.begin() + 8, file.end());
  std::mt19937_64 rng(7);
  int accepted = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    std::vector<uint8_t> b = body;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < flips; ++i) b[rng() % b.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
    if (rng() % 4 == 0) b.resize(rng() % b.size());
    auto r = Tombstones::decode(Rewrap(b));
    if (!r.ok()) continue;
    ++accepted;
    // Whatever passed is a sound bitmap: ascending, cardinality consistent.
    std::vector<uint32_t> rows = RowsOf(*r);
    EXPECT_TRUE(std::is_sorted(rows.begin(), rows.end()));
    EXPECT_EQ(rows.size(), r->cardinality());
  }
  EXPECT_LT(accepted, 3000);
}

}  // namespace
}  // namespace nimbrel
