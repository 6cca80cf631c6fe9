// The log's frames and its scan: round trips, resynchronisation after
// damage, torn tails at every byte, and several writers on one file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ivf_rabitq/record.h"
#include "ivf_rabitq/storage.h"
#include "ivf_rabitq/wal.h"
#include "test_util.h"

namespace nimbrel {
namespace {

WalOp AddOp(const std::string& id, std::vector<float> v, const std::string& meta = "{\"a\":1}") {
  WalOp op;
  op.id = id;
  op.vector = std::move(v);
  op.meta = meta;
  op.sparse = {{7, 0.5f}, {3, -2.0f}};
  return op;
}

std::vector<uint8_t> LogOf(const std::vector<WalOp>& ops, uint64_t id = 99) {
  std::vector<uint8_t> log = wal::encode_header(id);
  for (const WalOp& op : ops) {
    std::vector<uint8_t> f = wal::encode_frame(op);
    log.insert(log.end(), f.begin(), f.end());
  }
  return log;
}

std::vector<std::string> IdsOf(const wal::Scan& s) {
  std::vector<std::string> ids;
  for (const auto& f : s.frames) ids.push_back(f.op.id);
  return ids;
}

TEST(WalFrames, RecordsRoundTripWithEveryField) {
  const WalOp add = AddOp("caf\xc3\xa9", {1.5f, -0.0f, 3e30f}, "{\"x\":[1,2]}");
  const WalOp del = WalOp::Delete("gone");
  const std::vector<uint8_t> log = LogOf({add, del, AddOp("", {}, "")});
  auto scan = wal::scan(log.data(), log.size(), 0);
  ASSERT_TRUE(scan.ok());
  ASSERT_EQ(scan->frames.size(), 3u);
  EXPECT_EQ(scan->log_id, 99u);
  const WalOp& got = scan->frames[0].op;
  EXPECT_EQ(got.kind, WalOp::Kind::kAdd);
  EXPECT_EQ(got.id, add.id);
  EXPECT_EQ(got.vector, add.vector);
  EXPECT_EQ(got.meta, add.meta);
  EXPECT_EQ(got.sparse, add.sparse);
  EXPECT_EQ(scan->frames[1].op.kind, WalOp::Kind::kDelete);
  EXPECT_EQ(scan->frames[1].op.id, "gone");
  EXPECT_EQ(scan->frames[2].end, log.size());
  EXPECT_TRUE(scan->damaged.empty());
  EXPECT_FALSE(scan->tail);
}

TEST(WalScan, ATornLastFrameIsATailAtEveryCutAndTheFramesBeforeItSurvive) {
  const std::vector<uint8_t> full = LogOf({AddOp("a", {1, 2}), WalOp::Delete("b"), AddOp("c", {3, 4})});
  auto whole = wal::scan(full.data(), full.size(), 0);
  ASSERT_TRUE(whole.ok());
  const uint64_t last = whole->frames[2].offset;
  for (uint64_t cut = last; cut < full.size(); ++cut) {
    auto s = wal::scan(full.data(), cut, 0);
    ASSERT_TRUE(s.ok()) << cut;
    EXPECT_EQ(IdsOf(*s), (std::vector<std::string>{"a", "b"})) << cut;
    EXPECT_TRUE(s->damaged.empty()) << cut;
    EXPECT_EQ(s->tail.has_value(), cut > last) << cut;
  }
}

TEST(WalScan, DamageInTheMiddleIsSkippedToTheNextWholeFrame) {
  std::vector<uint8_t> log = LogOf({AddOp("a", {1, 2}), AddOp("b", {3, 4}), WalOp::Delete("c"), AddOp("d", {5, 6})});
  auto clean = wal::scan(log.data(), log.size(), 0);
  ASSERT_TRUE(clean.ok());
  const auto b = clean->frames[1];
  // Every byte of frame b in turn: its header, its CRC, its record.
  for (uint64_t at = b.offset; at < b.end; ++at) {
    std::vector<uint8_t> bad = log;
    bad[at] ^= 0x5A;
    auto s = wal::scan(bad.data(), bad.size(), 0);
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(IdsOf(*s), (std::vector<std::string>{"a", "c", "d"})) << at;
    ASSERT_EQ(s->damaged.size(), 1u) << at;
    EXPECT_EQ(s->damaged[0], std::make_pair(b.offset, b.end)) << at;
  }
  // Garbage appended after the last frame is a tail; a header that is
  // wrong refuses the log.
  std::vector<uint8_t> tailed = log;
  tailed.insert(tailed.end(), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
  auto t = wal::scan(tailed.data(), tailed.size(), 0);
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(t->frames.size(), 4u);
  EXPECT_EQ(t->tail, (std::pair<uint64_t, uint64_t>(log.size(), tailed.size())));
  std::vector<uint8_t> bad_magic = log;
  bad_magic[0] = 'X';
  EXPECT_EQ(wal::scan(bad_magic.data(), bad_magic.size(), 0).status().message(), "corrupt index: wal.bin: bad magic");
  EXPECT_EQ(wal::scan(log.data(), 5, 0).status().message(),
            "corrupt index: wal.bin: size 5 is shorter than its 16-byte header");
}

TEST(WalScan, AFrameWhoseLengthOrTagLiesIsNeverTrusted) {
  // Lengths past the end, below a record, and a CRC-valid record with
  // trailing bytes: none is a frame.
  std::vector<uint8_t> log = wal::encode_header(1);
  std::vector<uint8_t> rec = wal::encode_record(WalOp::Delete("x"));
  rec.push_back(0);
  std::vector<uint8_t> frame(8);
  store_le<uint32_t>(frame.data(), static_cast<uint32_t>(rec.size()));
  store_le<uint32_t>(frame.data() + 4, crc32_ieee(rec.data(), rec.size()));
  frame.insert(frame.end(), rec.begin(), rec.end());
  log.insert(log.end(), frame.begin(), frame.end());
  for (uint32_t len : {0xFFFFFFFFu, 3u}) {
    std::vector<uint8_t> f(8, 0);
    store_le<uint32_t>(f.data(), len);
    log.insert(log.end(), f.begin(), f.end());
  }
  auto s = wal::scan(log.data(), log.size(), 0);
  ASSERT_TRUE(s.ok());
  EXPECT_TRUE(s->frames.empty());
  EXPECT_TRUE(s->tail.has_value());
}

TEST(WalWriter, WritersOnOneFileAppendWholeFramesAndFollowAReset) {
  TempDir dir;
  const std::string path = dir.file("wal.bin");
  wal::Writer w1(path), w2(path);
  std::optional<uint64_t> created;
  ASSERT_TRUE(w1.append(wal::encode_frame(AddOp("a", {1})), &created).ok());
  ASSERT_TRUE(created.has_value());
  const uint64_t first_id = *created;
  ASSERT_TRUE(w2.append(wal::encode_frame(AddOp("b", {2})), &created).ok());
  EXPECT_FALSE(created.has_value());
  ASSERT_TRUE(w1.append(wal::encode_frame(WalOp::Delete("a")), &created).ok());
  std::vector<uint8_t> log = ReadBytes(path);
  auto s = wal::scan(log.data(), log.size(), 0);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s->log_id, first_id);
  EXPECT_EQ(IdsOf(*s), (std::vector<std::string>{"a", "b", "a"}));

  // A reset replaces the file: both writers notice and append to the new one.
  auto reset = wal::reset(path);
  ASSERT_TRUE(reset.ok());
  ASSERT_TRUE(w2.append(wal::encode_frame(AddOp("c", {3})), &created).ok());
  ASSERT_TRUE(w1.append(wal::encode_frame(AddOp("d", {4})), &created).ok());
  log = ReadBytes(path);
  s = wal::scan(log.data(), log.size(), 0);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s->log_id, *reset);
  EXPECT_NE(*reset, first_id);
  EXPECT_EQ(IdsOf(*s), (std::vector<std::string>{"c", "d"}));
  EXPECT_TRUE(w1.sync().ok());
  // No temporary file of the creation is left behind.
  EXPECT_EQ(ListFiles(dir.path()), std::vector<std::string>{"wal.bin"});
}

}  // namespace
}  // namespace nimbrel
