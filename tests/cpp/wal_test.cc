// The log's frames and its scan: round trips, frames bound to their log and
// place, torn tails, damage inside and past the durable part, forged
// frames in a caller's bytes, the checks a frame's content must pass, the
// older format, and several writers on one file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "ivf_rabitq/record.h"
#include "ivf_rabitq/storage.h"
#include "ivf_rabitq/wal.h"
#include "test_util.h"

namespace nimbrel {
namespace {

constexpr uint64_t kLog = 99;

WalOp AddOp(const std::string& id, std::vector<float> v, const std::string& meta = "{\"a\":1}") {
  WalOp op;
  op.id = id;
  op.vector = std::move(v);
  op.meta = meta;
  op.sparse = {{7, 0.5f}, {3, -2.0f}};
  return op;
}

// A version-2 log, each frame sealed for its place; a mark after frame
// `mark_after` (if any) vouches for everything before it.
std::vector<uint8_t> LogOf(const std::vector<WalOp>& ops, int mark_after = -1, uint64_t id = kLog) {
  std::vector<uint8_t> log = wal::encode_header(id, 0);
  for (size_t i = 0; i < ops.size(); ++i) {
    std::vector<uint8_t> f = wal::frame_body(ops[i]);
    wal::seal(&f, id, log.size());
    log.insert(log.end(), f.begin(), f.end());
    if (static_cast<int>(i) == mark_after) {
      const std::vector<uint8_t> m = wal::mark_frame(log.size(), id, log.size());
      log.insert(log.end(), m.begin(), m.end());
    }
  }
  return log;
}

// The same operations as a log of the earlier format: a 16-byte header,
// and a checksum of the record alone.
std::vector<uint8_t> LegacyFrame(const WalOp& op) {
  const std::vector<uint8_t> rec = wal::encode_record(op);
  std::vector<uint8_t> f(8);
  store_le<uint32_t>(f.data(), static_cast<uint32_t>(rec.size()));
  store_le<uint32_t>(f.data() + 4, crc32_ieee(rec.data(), rec.size()));
  f.insert(f.end(), rec.begin(), rec.end());
  return f;
}

std::vector<uint8_t> LegacyLogOf(const std::vector<WalOp>& ops) {
  std::vector<uint8_t> log(16);
  std::memcpy(log.data(), wal::kMagic, 4);
  store_le<uint32_t>(log.data() + 4, wal::kLegacyVersion);
  store_le<uint64_t>(log.data() + 8, kLog);
  for (const WalOp& op : ops) {
    const std::vector<uint8_t> f = LegacyFrame(op);
    log.insert(log.end(), f.begin(), f.end());
  }
  return log;
}

std::vector<std::string> IdsOf(const wal::Scan& s) {
  std::vector<std::string> ids;
  for (const auto& f : s.frames) ids.push_back(f.op.id);
  return ids;
}

wal::Scan ScanOk(const std::vector<uint8_t>& log, size_t len = SIZE_MAX) {
  auto s = wal::scan(log.data(), std::min(len, log.size()), 0);
  EXPECT_TRUE(s.ok()) << s.status().message();
  return s.ok() ? *s : wal::Scan();
}

TEST(WalFrames, RecordsRoundTripWithEveryField) {
  const WalOp add = AddOp("caf\xc3\xa9", {1.5f, -0.0f, 3e30f}, "{\"x\":[1,2]}");
  const std::vector<uint8_t> log = LogOf({add, WalOp::Delete("gone"), AddOp("", {}, "")}, 1);
  const wal::Scan s = ScanOk(log);
  ASSERT_EQ(s.frames.size(), 3u);
  EXPECT_EQ(s.header.log_id, kLog);
  const WalOp& got = s.frames[0].op;
  EXPECT_EQ(got.id, add.id);
  EXPECT_EQ(got.vector, add.vector);
  EXPECT_EQ(got.meta, add.meta);
  EXPECT_EQ(got.sparse, add.sparse);
  EXPECT_EQ(s.frames[0].meta, nlohmann::json::parse(add.meta));
  EXPECT_EQ(s.frames[1].op.kind, WalOp::Kind::kDelete);
  EXPECT_TRUE(s.frames[2].meta.is_null());  // no metadata text: null
  // The mark is no operation; it vouches for the frames before it.
  EXPECT_EQ(s.durable, s.frames[1].end);
  EXPECT_EQ(s.end, log.size());
  EXPECT_TRUE(s.damaged.empty());
  EXPECT_FALSE(s.tail);
}

TEST(WalScan, AFrameIsValidOnlyInItsOwnLogAndAtItsOwnPlace) {
  const std::vector<uint8_t> log = LogOf({AddOp("a", {1, 2}), WalOp::Delete("b")});
  const wal::Scan s = ScanOk(log);
  ASSERT_EQ(s.frames.size(), 2u);
  // A copy of the last frame at the end: at another offset it is no frame.
  std::vector<uint8_t> moved = log;
  moved.insert(moved.end(), log.begin() + s.frames[1].offset, log.end());
  const wal::Scan m = ScanOk(moved);
  EXPECT_EQ(IdsOf(m), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(m.tail, std::make_pair(static_cast<uint64_t>(log.size()), static_cast<uint64_t>(moved.size())));
  // The frames under another log's header: none checks out.
  std::vector<uint8_t> other = wal::encode_header(kLog + 1, 0);
  other.insert(other.end(), log.begin() + wal::kHeaderBytes, log.end());
  EXPECT_TRUE(ScanOk(other).frames.empty());
}

TEST(WalScan, ATornLastFrameIsATailAtEveryCut) {
  const std::vector<uint8_t> full = LogOf({AddOp("a", {1, 2}), WalOp::Delete("b"), AddOp("c", {3, 4})});
  const uint64_t last = ScanOk(full).frames[2].offset;
  for (uint64_t cut = last; cut < full.size(); ++cut) {
    const wal::Scan s = ScanOk(full, cut);
    EXPECT_EQ(IdsOf(s), (std::vector<std::string>{"a", "b"})) << cut;
    EXPECT_TRUE(s.damaged.empty()) << cut;
    EXPECT_EQ(s.tail.has_value(), cut > last) << cut;
    EXPECT_EQ(s.end, last) << cut;
  }
}

TEST(WalScan, DamageIsSkippedInsideTheDurablePartAndEndsTheLogPastIt) {
  // a b [mark: a and b durable] c d
  const std::vector<uint8_t> log =
      LogOf({AddOp("a", {1, 2}), AddOp("b", {3, 4}), WalOp::Delete("c"), AddOp("d", {5, 6})}, 1);
  const wal::Scan clean = ScanOk(log);
  ASSERT_EQ(clean.frames.size(), 4u);
  const auto b = clean.frames[1], c = clean.frames[2];
  for (uint64_t at = b.offset; at < b.end; ++at) {  // bit rot in b: skipped, the rest replayed
    std::vector<uint8_t> bad = log;
    bad[at] ^= 0x5A;
    const wal::Scan s = ScanOk(bad);
    EXPECT_EQ(IdsOf(s), (std::vector<std::string>{"a", "c", "d"})) << at;
    ASSERT_EQ(s.damaged.size(), 1u) << at;
    EXPECT_EQ(s.damaged[0], std::make_pair(b.offset, b.end)) << at;
  }
  for (uint64_t at = c.offset; at < c.end; ++at) {  // a hole past the last flush: a prefix only
    std::vector<uint8_t> bad = log;
    bad[at] ^= 0x5A;
    const wal::Scan s = ScanOk(bad);
    EXPECT_EQ(IdsOf(s), (std::vector<std::string>{"a", "b"})) << at;
    EXPECT_EQ(s.tail, std::make_pair(c.offset, static_cast<uint64_t>(log.size()))) << at;
    EXPECT_EQ(s.end, c.offset) << at;
  }
  // What the caller knows durable counts as a mark does.
  std::vector<uint8_t> bad = log;
  bad[c.offset + 10] ^= 1;
  auto s = wal::scan(bad.data(), bad.size(), 0, 0, c.end);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(IdsOf(*s), (std::vector<std::string>{"a", "b", "d"}));
}

// An add whose vector's bytes are `inner` (padded to whole floats); none
// when a padded word would be a NaN or an infinity, which add refuses.
std::optional<WalOp> Carrying(const std::string& id, std::vector<uint8_t> inner) {
  inner.resize((inner.size() + 3) / 4 * 4, 0);
  WalOp op = AddOp(id, std::vector<float>(inner.size() / 4), "{}");
  std::memcpy(op.vector.data(), inner.data(), inner.size());
  for (float v : op.vector) {
    if (!std::isfinite(v)) return std::nullopt;
  }
  return op;
}

TEST(WalScan, ACallersBytesNeverBecomeAFrame) {
  // The strongest forger knows the log's id and where its add will land:
  // the vector carries a delete frame sealed for its own place inside it.
  for (uint64_t id = kLog;; ++id) {
    std::vector<uint8_t> log = LogOf({AddOp("a", {1, 2})}, -1, id);
    const uint64_t add_at = log.size();
    const uint64_t inner_at = add_at + 8 + 4 + 8 + 6 + 8;  // frame header, tag, id "victim", vector count
    std::vector<uint8_t> forged = wal::frame_body(WalOp::Delete("a"));
    wal::seal(&forged, id, inner_at);
    std::optional<WalOp> add = Carrying("victim", forged);
    if (!add) continue;
    std::vector<uint8_t> frame = wal::frame_body(*add);
    wal::seal(&frame, id, add_at);
    log.insert(log.end(), frame.begin(), frame.end());
    ASSERT_EQ(ScanOk(log).frames.size(), 2u);
    // Torn anywhere inside the add (it was never flushed): the forged frame
    // stays a vector's bytes, whole or not.
    for (uint64_t cut = add_at + 1; cut < log.size(); ++cut) {
      EXPECT_EQ(IdsOf(ScanOk(log, cut)), std::vector<std::string>{"a"}) << cut;
    }
    break;
  }
  // The earlier format: a frame cut short is a tail, never searched.
  std::optional<WalOp> add = Carrying("victim", LegacyFrame(WalOp::Delete("a")));
  ASSERT_TRUE(add.has_value());
  const std::vector<uint8_t> legacy = LegacyLogOf({AddOp("a", {}), *add});
  ASSERT_EQ(ScanOk(legacy).frames.size(), 2u);
  const uint64_t add_at = legacy.size() - LegacyFrame(*add).size();
  for (uint64_t cut = add_at + 1; cut < legacy.size(); ++cut) {
    const wal::Scan s = ScanOk(legacy, cut);
    EXPECT_EQ(IdsOf(s), std::vector<std::string>{"a"}) << cut;
    EXPECT_EQ(s.tail, std::make_pair(add_at, cut)) << cut;
  }
  // Damage in the middle of an old log is still skipped as before.
  std::vector<uint8_t> damaged = LegacyLogOf({AddOp("a", {1}), AddOp("b", {2}), WalOp::Delete("c")});
  damaged[16 + 8 + 5] ^= 1;
  EXPECT_EQ(IdsOf(ScanOk(damaged)), (std::vector<std::string>{"b", "c"}));
}

TEST(WalScan, AFrameMustHoldWhatAnAddOrDeleteCouldHaveLogged) {
  const float nan = std::nanf("");
  const std::vector<std::pair<const char*, WalOp>> bad = {
      {"non-UTF-8 id", AddOp("\xff\xfe", {1, 2})},
      {"non-UTF-8 delete", WalOp::Delete("x\xc3")},
      {"NaN component", AddOp("v", {1, nan})},
      {"infinite weight", [] { WalOp op = AddOp("w", {1, 2}); op.sparse[0].second = INFINITY; return op; }()},
      {"metadata not JSON", AddOp("m", {1, 2}, "{oops")},
      {"metadata with a NUL", AddOp("n", {1, 2}, std::string("{}\0 x", 5))},
      {"metadata too deep", AddOp("d", {1, 2}, std::string(1001, '[') + std::string(1001, ']'))},
  };
  for (const auto& [what, op] : bad) {
    const std::vector<uint8_t> log = LogOf({AddOp("a", {1, 2}), op, WalOp::Delete("z")}, 1);
    const wal::Scan s = ScanOk(log);
    EXPECT_EQ(IdsOf(s), (std::vector<std::string>{"a", "z"})) << what;
    EXPECT_EQ(s.damaged.size(), 1u) << what;
  }
}

TEST(WalScan, AHeaderThatIsWrongRefusesTheLog) {
  const std::vector<uint8_t> log = LogOf({AddOp("a", {1})});
  auto refused = [&](std::vector<uint8_t> bytes, size_t len) {
    auto s = wal::scan(bytes.data(), len, 0);
    return s.ok() ? std::string("opened") : s.status().message();
  };
  std::vector<uint8_t> bad = log;
  bad[0] = 'X';
  EXPECT_EQ(refused(bad, bad.size()), "corrupt index: wal.bin: bad magic");
  bad = log;
  bad[12] ^= 1;  // the log id
  EXPECT_EQ(refused(bad, bad.size()), "corrupt index: wal.bin: header checksum mismatch");
  bad = log;
  bad[4] = 7;
  EXPECT_EQ(refused(bad, bad.size()), "corrupt index: wal.bin: unsupported log version 7");
  EXPECT_EQ(refused(log, 5), "corrupt index: wal.bin: size 5 is shorter than its 16-byte header");
  EXPECT_EQ(refused(log, 20), "corrupt index: wal.bin: size 20 is shorter than its 24-byte header");
  EXPECT_EQ(refused(log, 0), "opened");  // an empty file is an empty log
}

TEST(WalWriter, WritersShareOneFileCutATornTailAndFollowAReset) {
  TempDir dir;
  const std::string path = dir.file("wal.bin");
  wal::Writer w1(path, 0), w2(path, 0);
  wal::Written at;
  ASSERT_TRUE(w1.append(wal::frame_body(AddOp("a", {1})), &at).ok());
  ASSERT_TRUE(at.created);
  const uint64_t first_id = at.log_id;
  ASSERT_TRUE(w2.append(wal::frame_body(AddOp("b", {2})), &at).ok());
  EXPECT_FALSE(at.created);
  // A writer killed in the middle of its frame leaves part of it behind:
  // the next append cuts it off rather than build on it.
  std::vector<uint8_t> bytes = ReadBytes(path);
  std::vector<uint8_t> partial = wal::frame_body(AddOp("killed", {9, 9, 9}));
  bytes.insert(bytes.end(), partial.begin(), partial.begin() + 13);
  WriteBytes(path, bytes);
  ASSERT_TRUE(w1.append(wal::frame_body(WalOp::Delete("a")), &at).ok());
  // A flush writes nothing; the writer's next frame comes with the mark of
  // what it knew whole when it flushed (its own frames: not w1's delete).
  ASSERT_TRUE(w2.sync().ok());
  const uint64_t before = FileSizeOf(path);
  ASSERT_TRUE(w2.append(wal::frame_body(AddOp("e", {5})), &at).ok());
  EXPECT_EQ(at.offset, before);
  wal::Scan s = ScanOk(ReadBytes(path));
  EXPECT_EQ(s.header.log_id, first_id);
  EXPECT_EQ(IdsOf(s), (std::vector<std::string>{"a", "b", "a", "e"}));
  EXPECT_TRUE(s.damaged.empty());
  EXPECT_FALSE(s.tail);
  EXPECT_EQ(s.durable, s.frames[1].end);
  EXPECT_EQ(s.frames[3].offset, before + 20);

  // A reset replaces the file: both writers notice and append to the new one.
  auto reset = wal::reset(path, wal::kStartedByCheckpoint);
  ASSERT_TRUE(reset.ok());
  ASSERT_TRUE(w2.append(wal::frame_body(AddOp("c", {3})), &at).ok());
  ASSERT_TRUE(w1.append(wal::frame_body(AddOp("d", {4})), &at).ok());
  s = ScanOk(ReadBytes(path));
  EXPECT_EQ(s.header.log_id, *reset);
  EXPECT_EQ(s.header.flags, wal::kStartedByCheckpoint);
  EXPECT_EQ(IdsOf(s), (std::vector<std::string>{"c", "d"}));
  // No temporary file of the creation is left behind.
  EXPECT_EQ(ListFiles(dir.path()), std::vector<std::string>{"wal.bin"});
}

}  // namespace
}  // namespace nimbrel
