// The write path of one segment: adds, upserts and deletes seen by every
// read, replayed at open, folded in by a checkpoint whatever step it stops
// at, compacted; the group commit and its failure latch.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <thread>

#include "ivf_rabitq/index.h"
#include "ivf_rabitq/segment_format.h"
#include "ivf_rabitq/storage.h"
#include "ivf_rabitq/wal.h"
#include "test_util.h"

namespace nimbrel {
namespace {

// "<prefix><n>". (Built by append: GCC 12 warns falsely about operator+ here.)
std::string Name(const char* prefix, uint64_t n) { return std::string(prefix).append(std::to_string(n)); }

WalOp AddOp(const std::string& id, const std::vector<float>& v, const nlohmann::json& meta,
            std::vector<std::pair<uint32_t, float>> sparse = {}) {
  WalOp op;
  op.id = id;
  op.vector = v;
  op.meta = meta.dump();
  op.sparse = std::move(sparse);
  return op;
}

// Everything a reader can observe of a segment, for comparing two opens.
struct View {
  uint64_t live, delta, tombstones;
  std::map<std::string, std::string> meta_by_id;  // live ids only
  std::vector<std::pair<std::string, float>> top;  // search of a fixed query
  bool operator==(const View&) const = default;
};

View Observe(const IvfIndex& x, const std::vector<std::string>& ids, const float* query) {
  View v{x.live_count(), x.delta_count(), x.tombstone_count(), {}, {}};
  for (const std::string& id : ids) {
    auto slot = x.slot_of(id);
    if (!slot) continue;
    auto hits = x.search_bruteforce(query, 1000000, nullptr);
    bool live = false;
    for (const Hit& h : hits) live = live || h.row == *slot;
    if (live) v.meta_by_id[id] = x.row_meta_str(*slot);
  }
  for (const Hit& h : x.search_core(query, 20, 1000, 1000000, nullptr, false)) v.top.emplace_back(x.ext_of(h.row), h.dist);
  return v;
}

struct Fixture {
  TempDir tmp;
  RandomSegment input;
  std::shared_ptr<IvfIndex> index;
  std::vector<std::string> ids;  // every id ever used
  std::string dir() const { return tmp.file("seg"); }
  const float* row(size_t i) const { return input.data.data() + i * input.input.dim; }

  explicit Fixture(RandomSegmentOptions opts = {.n = 400, .dim = 16, .lists = 8}) {
    input = MakeRandomSegment(dir(), opts);
    index = BuildAndOpen(input.input);
    ids = input.input.ids;
  }
  // A mixed workload: new rows, upserts of main and delta rows, deletes.
  void Workload(IvfIndex& x, int n_ops, uint64_t seed) {
    XorShift64 rng(seed);
    const size_t dim = input.input.dim;
    for (int i = 0; i < n_ops; ++i) {
      const uint64_t pick = rng.below(10);
      if (pick < 6) {
        const std::string id = pick < 3 ? Name(Name("new-", seed).append("-").c_str(), i)
                                         : ids[rng.below(ids.size())];
        const float* base = row(rng.below(input.input.n));
        std::vector<float> v(base, base + dim);
        v[0] += static_cast<float>(rng.gaussian());
        nlohmann::json meta = {{"num", static_cast<int>(rng.below(13))}, {"added", i}, {"tag", std::string("w").append(std::to_string(i % 5))}};
        ASSERT_TRUE(x.add(AddOp(id, v, meta, {{static_cast<uint32_t>(i % 9), 1.0f}})).ok());
        if (pick < 3) ids.push_back(id);
      } else {
        ASSERT_TRUE(x.remove(ids[rng.below(ids.size())]).ok());
      }
    }
  }
};

TEST(WritePath, AddsUpsertsAndDeletesAreSeenByEveryRead) {
  Fixture f;
  IvfIndex& x = *f.index;
  const size_t dim = 16;
  std::vector<float> v(f.row(5), f.row(5) + dim);
  // An upsert of main row 5 with its own vector: the new row ties with the
  // old one, which is tombstoned; a new id with the same vector ties too
  // and comes after the main row of equal distance.
  ASSERT_TRUE(x.add(AddOp(f.ids[5], v, {{"color", "red"}, {"num", 99}})).ok());
  ASSERT_TRUE(x.add(AddOp("twin", v, nullptr)).ok());
  EXPECT_EQ(x.delta_count(), 2u);
  EXPECT_EQ(x.tombstone_count(), 1u);
  EXPECT_EQ(x.live_count(), 401u);
  auto hits = x.search_core(v.data(), 3, 8, 1000, nullptr, false);
  ASSERT_GE(hits.size(), 2u);
  EXPECT_EQ(x.ext_of(hits[0].row), f.ids[5]);
  EXPECT_EQ(hits[0].row, 400u);
  EXPECT_EQ(x.ext_of(hits[1].row), "twin");
  EXPECT_EQ(hits[0].dist, hits[1].dist);
  EXPECT_EQ(*x.slot_of(f.ids[5]), 400u);
  EXPECT_EQ(x.row_meta_str(400), R"({"color":"red","num":99})");

  // Filters see the new field and the new value; compiled filters from
  // before the schema grew are not reused.
  auto before = x.compile_filter_cached(R"({"color": "red"})");
  ASSERT_TRUE(before.ok());
  ASSERT_TRUE(x.add(AddOp("blue-one", v, {{"color", "blue"}})).ok());
  auto blue = x.compile_filter_cached(R"({"color": "blue"})");
  ASSERT_TRUE(blue.ok());
  hits = x.search_core(v.data(), 10, 8, 1000, blue->get(), false);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(x.ext_of(hits[0].row), "blue-one");
  auto num99 = x.compile_filter_cached(R"({"num": 99})");
  ASSERT_TRUE(num99.ok());
  hits = x.search_bruteforce(v.data(), 10, num99->get());
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].row, 400u);

  // Deletes: a delta row, a main row, twice, and an unknown id.
  EXPECT_TRUE(*x.remove("twin"));
  EXPECT_FALSE(*x.remove("twin"));
  EXPECT_TRUE(*x.remove(f.ids[7]));
  EXPECT_FALSE(*x.remove("never-added"));
  for (const Hit& h : x.search_core(v.data(), 1000, 8, 1000000, nullptr, true)) {
    EXPECT_NE(x.ext_of(h.row), "twin");
    EXPECT_NE(x.ext_of(h.row), f.ids[7]);
  }
  EXPECT_EQ(x.live_count(), 400u);

  // Wrong dimension and a full slot space are refused before anything is logged.
  EXPECT_EQ(x.add(AddOp("short", {1, 2}, nullptr)).message(), "add: vector length 2 != index dim 16");
}

TEST(WritePath, SearchOverTheDeltaMatchesTheExactAnswerWhenEveryListIsProbed) {
  Fixture f({.n = 600, .dim = 24, .lists = 12, .blobs = 12});
  f.Workload(*f.index, 400, 3);
  IvfIndex& x = *f.index;
  auto filter = x.compile_filter_cached(R"({"num": {"$lt": 6}})");
  ASSERT_TRUE(filter.ok());
  XorShift64 rng(9);
  for (int q = 0; q < 20; ++q) {
    const float* query = f.row(rng.below(600));
    for (const Predicate* p : {static_cast<const Predicate*>(nullptr), filter->get()}) {
      for (uint64_t k : {1u, 10u, 5000u}) {
        auto got = x.search_core(query, k, 12, 1000000, p, false);
        auto want = x.search_bruteforce(query, k, p);
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) {
          EXPECT_EQ(got[i].row, want[i].row);
          EXPECT_EQ(got[i].dist, want[i].dist);
        }
      }
    }
    // ensure_target_k reaches delta rows of unprobed lists too.
    auto all = x.search_core(query, 5000, 1, 10, nullptr, true);
    EXPECT_EQ(all.size(), x.live_count());
  }
}

TEST(WritePath, ReopenReplaysTheLogAndACheckpointFoldsItIn) {
  Fixture f;
  f.Workload(*f.index, 300, 1);
  const float* q = f.row(11);
  const View before = Observe(*f.index, f.ids, q);
  f.index.reset();
  auto reopened = OpenOk(f.dir());
  ASSERT_TRUE(reopened);
  EXPECT_EQ(Observe(*reopened, f.ids, q), before);

  ASSERT_TRUE(reopened->matches_disk());
  ASSERT_TRUE(reopened->checkpoint(5).ok());
  EXPECT_EQ(storage::read_generation(f.dir()), 5u);
  EXPECT_EQ(FileSizeOf(f.tmp.file("seg/wal.bin")), wal::kHeaderBytes);
  EXPECT_TRUE(reopened->matches_disk());
  f.Workload(*reopened, 100, 2);  // after the checkpoint, into the new log
  const View after = Observe(*reopened, f.ids, q);
  reopened.reset();
  auto again = OpenOk(f.dir());
  ASSERT_TRUE(again);
  EXPECT_EQ(Observe(*again, f.ids, q), after);
}

// Fails the rename onto one named file of the segment.
const char* g_fail_target = nullptr;
int FailRenameOnto(const char* op, const std::string& path) {
  if (g_fail_target == nullptr || std::strcmp(op, "rename") != 0) return 0;
  return path.ends_with(std::string("/") + g_fail_target) ? EIO : 0;
}

TEST(WritePath, ALongLogOfAManyListSegmentReplaysInParallel) {
  // The centroid neighbour lists are built on first use, by a parallel
  // loop; a replay encodes rows in parallel too. Built inside the replay's
  // loop, a thread waiting for the inner loop could take an outer task that
  // waits on the same once-flag, and an open hung now and then: opening
  // many times makes that likely.
  Fixture f({.n = 6000, .dim = 64, .lists = 400, .blobs = 50, .sparse = false});
  f.index->group_commit_interval = 100000;
  XorShift64 rng(1);
  for (int i = 0; i < 6000; ++i) {
    ASSERT_TRUE(f.index->add(AddOp(Name("p", i), GaussianVector(64, rng), nullptr)).ok());
  }
  f.index.reset();
  for (int round = 0; round < 40; ++round) {
    auto reopened = OpenOk(f.dir());
    ASSERT_TRUE(reopened);
    EXPECT_EQ(reopened->delta_count(), 6000u);
  }
}

TEST(WritePath, ACheckpointStoppedAtAnyStepLosesAndRepeatsNothing) {
  // Each of the checkpoint's renames fails in turn; what is on disk then is
  // what a crash at that point leaves. Reopening gives the same state.
  for (const char* target : {segment::kDeletedFile, segment::kDeltaFile, segment::kGenerationFile, segment::kWalFile}) {
    Fixture f;
    f.Workload(*f.index, 200, 5);
    ASSERT_TRUE(f.index->checkpoint(1).ok());
    f.Workload(*f.index, 200, 6);  // a second checkpoint over an older one
    const float* q = f.row(3);
    const View before = Observe(*f.index, f.ids, q);
    g_fail_target = target;
    platform::SetFaultHook(&FailRenameOnto);
    Status st = f.index->checkpoint(2);
    platform::SetFaultHook(nullptr);
    g_fail_target = nullptr;
    const std::string named = std::string_view(target) == segment::kGenerationFile ? f.dir() + "/generation: " : "";
    EXPECT_EQ(st.message(), named + "Input/output error (os error 5)") << target;
    f.index.reset();
    auto reopened = OpenOk(f.dir());
    ASSERT_TRUE(reopened) << target;
    EXPECT_EQ(Observe(*reopened, f.ids, q), before) << target;
    // And a checkpoint that completes afterwards settles it.
    ASSERT_TRUE(reopened->checkpoint(3).ok());
    reopened.reset();
    reopened = OpenOk(f.dir());
    EXPECT_EQ(Observe(*reopened, f.ids, q), before) << target;
  }
}

// Fails the device flush of wal.bin.
std::atomic<bool> g_fail_wal_sync{false};
int FailWalSync(const char* op, const std::string& path) {
  return g_fail_wal_sync && std::strcmp(op, "sync") == 0 && path.ends_with("/wal.bin") ? EIO : 0;
}

TEST(WritePath, GroupCommitCountsAndAFailedFlushLatchesUntilACheckpoint) {
  Fixture f;
  IvfIndex& x = *f.index;
  std::vector<float> v(f.row(0), f.row(0) + 16);
  x.group_commit_interval = 3;
  for (int i = 0; i < 7; ++i) ASSERT_TRUE(x.add(AddOp(Name("g", i), v, nullptr)).ok());
  EXPECT_EQ(x.wal_flush_count.load(), 2u);
  x.group_commit_interval = 1;
  ASSERT_TRUE(x.add(AddOp("one", v, nullptr)).ok());
  EXPECT_EQ(x.wal_flush_count.load(), 3u);

  g_fail_wal_sync = true;
  platform::SetFaultHook(&FailWalSync);
  Status st = x.add(AddOp("lost-flush", v, nullptr));
  EXPECT_EQ(st.message(), "Input/output error (os error 5)");
  EXPECT_TRUE(x.wal_flush_failed());
  g_fail_wal_sync = false;
  // Logged and applied, but every later operation refuses to confirm.
  EXPECT_TRUE(x.slot_of("lost-flush").has_value());
  const std::string latch =
      "WAL fsync previously failed; call sync()/flush() to recover durability before confirming this op";
  EXPECT_EQ(x.add(AddOp("after", v, nullptr)).message(), latch);
  auto removed = x.remove("one");
  EXPECT_EQ(removed.status().message(), latch);
  EXPECT_FALSE(x.slot_of("one").has_value() && x.live_count() == 0);
  // The checkpoint writes the state from memory and clears the latch.
  ASSERT_TRUE(x.checkpoint(1).ok());
  EXPECT_FALSE(x.wal_flush_failed());
  ASSERT_TRUE(x.add(AddOp("later", v, nullptr)).ok());
  platform::SetFaultHook(nullptr);
  f.index.reset();
  auto reopened = OpenOk(f.dir());
  for (const char* id : {"lost-flush", "after", "later"}) EXPECT_TRUE(reopened->slot_of(id).has_value()) << id;
  EXPECT_EQ(reopened->live_count(), 400u + 11u - 1u);

  // Time-based: nothing is flushed before the period has passed.
  reopened->wal_sync_ms = 60000;
  reopened->reset_last_sync();
  const uint64_t flushes = reopened->wal_flush_count.load();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(reopened->add(AddOp(Name("t", i), v, nullptr)).ok());
  EXPECT_EQ(reopened->wal_flush_count.load(), flushes);
}

TEST(WritePath, NoMarkVouchesForAFlushThatFailed) {
  // After a failed flush the kernel may have dropped the frames it could
  // not write: no later mark (not even the last reference's flush) may say
  // they are durable, or a replay would skip a hole there and apply what
  // follows it.
  Fixture f;
  std::vector<float> v(f.row(0), f.row(0) + 16);
  ASSERT_TRUE(f.index->add(AddOp("a", v, nullptr)).ok());
  g_fail_wal_sync = true;
  platform::SetFaultHook(&FailWalSync);
  EXPECT_FALSE(f.index->add(AddOp("b", v, nullptr)).ok());
  g_fail_wal_sync = false;
  EXPECT_FALSE(f.index->add(AddOp("c", v, nullptr)).ok());  // latched
  f.index.reset();
  platform::SetFaultHook(nullptr);
  std::vector<uint8_t> log = ReadBytes(f.tmp.file("seg/wal.bin"));
  auto s = wal::scan(log.data(), log.size(), 0);
  ASSERT_TRUE(s.ok());
  ASSERT_EQ(s->frames.size(), 3u);
  EXPECT_EQ(s->durable, s->frames[0].end);
  // b never reached the device: c is not applied without it.
  std::fill(log.begin() + static_cast<ptrdiff_t>(s->frames[1].offset), log.begin() + static_cast<ptrdiff_t>(s->frames[1].end), 0);
  WriteBytes(f.tmp.file("seg/wal.bin"), log);
  auto x = OpenOk(f.dir());
  ASSERT_TRUE(x);
  EXPECT_TRUE(x->slot_of("a").has_value());
  EXPECT_FALSE(x->slot_of("c").has_value());
}

TEST(WritePath, AnAppendAfterAPowerCutCutsOffTheTailBeforeWritingOverIt) {
  // Three unflushed adds of two pages and more each; the power goes and one
  // page inside the middle one never reaches the device, while the last one
  // does. The replay stops at the hole; an add of the lost frame's size
  // written there without cutting off what follows would bring the last
  // add back, after a later one and without the one before it.
  Fixture f;
  f.index->group_commit_interval = 1000;
  std::vector<float> v(f.row(6), f.row(6) + 16);
  const nlohmann::json pad = {{"pad", std::string(8500, 'p')}};
  for (const char* id : {"x1", "dd", "ff"}) ASSERT_TRUE(f.index->add(AddOp(id, v, pad)).ok());
  f.index.reset();
  const std::string wal_path = f.tmp.file("seg/wal.bin");
  std::vector<uint8_t> log = ReadBytes(wal_path);
  auto s = wal::scan(log.data(), log.size(), 0);
  ASSERT_TRUE(s.ok());
  ASSERT_EQ(s->frames.size(), 3u);
  const wal::Scan::Frame& dd = s->frames[1];
  const uint64_t page = (dd.offset + 4095) / 4096 * 4096;
  ASSERT_LE(page + 4096, dd.end);
  std::fill(log.begin() + static_cast<ptrdiff_t>(page), log.begin() + static_cast<ptrdiff_t>(page + 4096), 0);
  WriteBytes(wal_path, log);

  auto x = OpenOk(f.dir());
  ASSERT_TRUE(x);
  EXPECT_FALSE(x->slot_of("ff").has_value());
  ASSERT_TRUE(x->add(AddOp("aa", v, pad)).ok());
  x.reset();
  x = OpenOk(f.dir());
  ASSERT_TRUE(x);
  for (const char* id : {"x1", "aa"}) EXPECT_TRUE(x->slot_of(id).has_value()) << id;
  for (const char* id : {"dd", "ff"}) EXPECT_FALSE(x->slot_of(id).has_value()) << id;
  EXPECT_EQ(x->live_count(), 402u);
}

TEST(WritePath, AFailedAppendAppliesNothing) {
  Fixture f;
  std::vector<float> v(f.row(0), f.row(0) + 16);
  platform::SetFaultHook([](const char* op, const std::string& path) {
    return std::strcmp(op, "write") == 0 && path.ends_with("/wal.bin") ? ENOSPC : 0;
  });
  Status st = f.index->add(AddOp("x", v, nullptr));
  auto removed = f.index->remove(f.ids[0]);
  platform::SetFaultHook(nullptr);
  EXPECT_EQ(st.message(), "No space left on device (os error 28)");
  EXPECT_FALSE(removed.ok());
  EXPECT_EQ(f.index->delta_count(), 0u);
  EXPECT_EQ(f.index->tombstone_count(), 0u);
}

TEST(WritePath, CompactionKeepsEveryLiveRowWithItsCodesAndDropsTheRest) {
  Fixture f({.n = 500, .dim = 16, .lists = 10});
  f.Workload(*f.index, 300, 8);
  const float* q = f.row(42);
  const View before = Observe(*f.index, f.ids, q);
  ASSERT_TRUE(f.index->compact_to(f.tmp.file("compacted"), 7).ok());
  auto compacted = OpenOk(f.tmp.file("compacted"));
  ASSERT_TRUE(compacted);
  View after = Observe(*compacted, f.ids, q);
  EXPECT_EQ(after.live, before.live);
  EXPECT_EQ(after.delta, 0u);
  EXPECT_EQ(after.tombstones, 0u);
  EXPECT_EQ(after.meta_by_id, before.meta_by_id);
  // Codes and copies are copied: the same rows at the same distances.
  ASSERT_EQ(after.top.size(), before.top.size());
  for (size_t i = 0; i < after.top.size(); ++i) EXPECT_EQ(after.top[i].second, before.top[i].second);
  EXPECT_EQ(storage::read_generation(f.tmp.file("compacted")), 7u);
  EXPECT_EQ(compacted->manifest().n_lists, 10u);
}

TEST(WritePath, ASegmentBuiltWithoutRowsTakesAddsAndIsClusteredWhenCompacted) {
  TempDir tmp;
  SmallInput s(tmp.file("seg"), 4, {});
  auto x = BuildAndOpen(s.in);
  ASSERT_TRUE(x);
  XorShift64 rng(1);
  std::vector<std::vector<float>> vs;
  for (int i = 0; i < 50; ++i) {
    vs.push_back(GaussianVector(4, rng, 100.0));
    ASSERT_TRUE(x->add(AddOp(Name("e", i), vs.back(), {{"i", i}})).ok());
  }
  auto hits = x->search_core(vs[17].data(), 1, 1, 10, nullptr, false);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(x->ext_of(hits[0].row), "e17");
  // The 8-bit copies use each row's own scale, not the empty build's
  // (1e-6, which would clip every component to a distance near 10^4):
  // components below 256 are off by at most 256 / 254 each.
  EXPECT_LT(hits[0].dist, 4.1f);
  ASSERT_TRUE(x->compact_to(tmp.file("c"), 1).ok());
  auto c = OpenOk(tmp.file("c"));
  ASSERT_TRUE(c);
  EXPECT_GE(c->manifest().n_lists, 1u);
  EXPECT_EQ(c->live_count(), 50u);
  hits = c->search_core(vs[17].data(), 1, 100, 100, nullptr, false);
  EXPECT_EQ(c->ext_of(hits[0].row), "e17");
}

TEST(WritePath, FiltersSeeAddedRowsBeyondTheTypedColumnsAndDeletesDoNotShortenResults) {
  // A build whose 256 typed columns are all taken: "z" lives only in the
  // rows' metadata text, for main and added rows alike, and an add must
  // not give it a column (the main rows' values would vanish from it),
  // even when this opener skips one of the 256.
  TempDir tmp;
  SmallInput s(tmp.file("seg"), 2, {0, 0, 1, 1, 2, 2, 3, 3});
  nlohmann::json wide = nlohmann::json::object();
  for (int f = 0; f < 256; ++f) wide[Name("f", 100 + f)] = f;
  for (auto& m : s.in.metadata) m = wide;
  s.in.metadata[0]["z"] = 1;
  ASSERT_TRUE(IvfIndex::build(s.in).ok());
  for (const auto& skip : {std::optional<std::set<std::string>>(), std::optional<std::set<std::string>>({"f100"})}) {
    auto x = OpenOk(s.in.dir, skip);
    ASSERT_TRUE(x);
    ASSERT_TRUE(x->add(AddOp("added", {0.5f, 0.5f}, {{"z", 1}})).ok());
    auto z = x->compile_filter_cached(R"({"z": 1})");
    ASSERT_TRUE(z.ok());
    auto hits = x->search_core(std::vector<float>{0, 0}.data(), 10, 1, 10, z->get(), false);
    std::set<std::string> ids;
    for (const Hit& h : hits) ids.insert(x->ext_of(h.row));
    EXPECT_EQ(ids, (std::set<std::string>{"r0", "added"}));
    x.reset();
    RemoveFile(s.in.dir + "/wal.bin");
  }

  // Deleting the nearest list's rows: the search probes further lists
  // until it has k rows, as it does for a selective filter.
  Fixture f({.n = 400, .dim = 8, .lists = 8, .blobs = 8, .sparse = false});
  const float* q = f.row(0);
  auto first = f.index->search_core(q, 1000, 1, 1000, nullptr, false);
  for (const Hit& h : first) ASSERT_TRUE(*f.index->remove(f.index->ext_of(h.row)));
  auto after = f.index->search_core(q, 5, 1, 100, nullptr, false);
  EXPECT_EQ(after.size(), 5u);
}

TEST(WritePath, ALogThatLostItsTailAfterACheckpointStillOpens) {
  // A power cut after a checkpoint of frames that never reached the
  // device: delta.bin (and deleted.bin) hold them, the log came back
  // shorter. Everything in delta.bin counts; tombstones of rows whose adds
  // are lost are dropped, so that rows added later are not born deleted.
  Fixture f;
  std::vector<float> v(f.row(1), f.row(1) + 16);
  ASSERT_TRUE(f.index->add(AddOp("a", v, nullptr)).ok());
  std::vector<uint8_t> empty_log_header = ReadBytes(f.tmp.file("seg/wal.bin"));
  empty_log_header.resize(wal::kHeaderBytes);
  ASSERT_TRUE(f.index->add(AddOp("b", v, nullptr)).ok());
  ASSERT_TRUE(f.index->remove("b").ok());
  ASSERT_TRUE(f.index->checkpoint(1).ok());
  f.index.reset();
  // The log as it was before its frames: same id, header only.
  WriteBytes(f.tmp.file("seg/wal.bin"), empty_log_header);
  auto x = OpenOk(f.dir());
  ASSERT_TRUE(x);
  EXPECT_EQ(x->delta_count(), 2u);
  EXPECT_EQ(x->live_count(), 401u);
  // deleted.bin newer than delta.bin, and the adds it tombstones gone.
  RemoveFile(f.tmp.file("seg/delta.bin"));
  x.reset();
  x = OpenOk(f.dir());
  ASSERT_TRUE(x);
  EXPECT_EQ(x->delta_count(), 0u);
  EXPECT_EQ(x->tombstone_count(), 0u);
  ASSERT_TRUE(x->add(AddOp("c", v, nullptr)).ok());
  EXPECT_EQ(x->live_count(), 401u);
}

TEST(WritePath, ALogShorterThanItsFoldPointTakesNoMoreFrames) {
  // A checkpoint that folded frames never flushed (it trusted nothing of a
  // latched log, or a power cut took them) and stopped before emptying the
  // log: new frames below the fold point would be skipped by every replay,
  // so the next append starts a new log, whichever writer makes it.
  Fixture f;
  std::vector<float> v(f.row(3), f.row(3) + 16);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(f.index->add(AddOp(Name("pre", i), v, nullptr)).ok());
  platform::SetFaultHook([](const char* op, const std::string& path) {
    return std::strcmp(op, "rename") == 0 && path.ends_with("/wal.bin") ? EIO : 0;
  });
  EXPECT_FALSE(f.index->checkpoint(1).ok());
  platform::SetFaultHook(nullptr);
  f.index.reset();
  TruncateFile(f.tmp.file("seg/wal.bin"), 150);
  auto a = OpenOk(f.dir()), b = OpenOk(f.dir());
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(a->sync_wal().ok());
  EXPECT_EQ(FileSizeOf(f.tmp.file("seg/wal.bin")), 150u);
  for (auto [x, id] : {std::pair{a.get(), "from-a"}, {b.get(), "from-b"}, {a.get(), "from-a2"}}) {
    ASSERT_TRUE(x->add(AddOp(id, v, nullptr)).ok());
  }
  a.reset();
  b.reset();
  for (int round = 0; round < 2; ++round) {  // as replayed, then checkpointed
    auto x = OpenOk(f.dir());
    ASSERT_TRUE(x);
    for (const char* id : {"pre0", "pre4", "from-a", "from-b", "from-a2"}) EXPECT_TRUE(x->slot_of(id)) << id;
    EXPECT_EQ(x->live_count(), 408u);
    ASSERT_TRUE(x->checkpoint(storage::read_generation(f.dir()) + 1).ok());
  }
}

TEST(WritePath, AnOpenThatCannotRewriteStaleTombstonesRefusesAddsUntilACheckpoint) {
  // deleted.bin names a row past the segment (its add was lost with a log
  // tail): the next add would take that row number, so the open rewrites
  // the file without it; when it cannot, adds wait for a checkpoint.
  Fixture f;
  std::vector<float> v(f.row(5), f.row(5) + 16);
  ASSERT_TRUE(f.index->add(AddOp("a0", v, nullptr)).ok());
  ASSERT_TRUE(f.index->checkpoint(1).ok());
  const std::vector<uint8_t> older_delta = ReadBytes(f.tmp.file("seg/delta.bin"));
  ASSERT_TRUE(f.index->add(AddOp("x", v, nullptr)).ok());
  ASSERT_TRUE(*f.index->remove("x"));
  ASSERT_TRUE(f.index->checkpoint(2).ok());
  f.index.reset();
  WriteBytes(f.tmp.file("seg/delta.bin"), older_delta);
  platform::SetFaultHook([](const char* op, const std::string& path) {
    return std::strcmp(op, "rename") == 0 && path.ends_with("/deleted.bin") ? EACCES : 0;
  });
  auto x = OpenOk(f.dir());
  platform::SetFaultHook(nullptr);
  ASSERT_TRUE(x);
  EXPECT_NE(x->add(AddOp("late", v, nullptr)).message().find("call flush() before adding rows"), std::string::npos);
  ASSERT_TRUE(x->checkpoint(3).ok());
  ASSERT_TRUE(x->add(AddOp("late", v, nullptr)).ok());
  x.reset();
  x = OpenOk(f.dir());
  ASSERT_TRUE(x);
  EXPECT_TRUE(x->slot_of("late").has_value());
  EXPECT_EQ(x->live_count(), 402u);
}

TEST(WritePath, AFreshViewCheckpointsWhileAnotherSegmentOfTheDirectoryIsReleased) {
  // The last reference to a segment flushes the log; it must not leave
  // anything in it that makes a fresh view's checkpoint refuse.
  Fixture f;
  std::vector<float> v(f.row(4), f.row(4) + 16);
  auto other = OpenOk(f.dir());
  other->group_commit_interval = 1000;
  ASSERT_TRUE(other->add(AddOp("other", v, nullptr)).ok());
  auto fresh = OpenOk(f.dir());
  other.reset();
  f.index.reset();
  ASSERT_TRUE(fresh->checkpoint(1).ok());
}

TEST(WritePath, ALogFrameNoAddCouldHaveWrittenIsNotApplied) {
  // Only damage or a foreign writer puts metadata nested deeper than an
  // add accepts into the log (writing it out again would recurse that
  // deep): a checksummed frame holding it is damage like any other.
  Fixture f;
  std::vector<float> v(f.row(2), f.row(2) + 16);
  ASSERT_TRUE(f.index->add(AddOp("ok", v, {{"k", 1}})).ok());
  f.index.reset();
  WalOp deep = AddOp("deep", v, nullptr);
  deep.meta = std::string(100000, '[') + std::string(100000, ']');
  std::vector<uint8_t> log = ReadBytes(f.tmp.file("seg/wal.bin"));
  std::vector<uint8_t> frame = wal::frame_body(deep);
  wal::seal(&frame, wal::parse_header(log.data(), log.size())->log_id, log.size());
  log.insert(log.end(), frame.begin(), frame.end());
  WriteBytes(f.tmp.file("seg/wal.bin"), log);
  auto x = OpenOk(f.dir());
  ASSERT_TRUE(x);
  EXPECT_TRUE(x->slot_of("ok").has_value());
  EXPECT_FALSE(x->slot_of("deep").has_value());
  ASSERT_TRUE(x->compact_to(f.tmp.file("c"), 1).ok());
}

TEST(WritePath, ReadersAndWritersOfOneSegmentRunTogether) {
  Fixture f;
  IvfIndex& x = *f.index;
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&, t] {
      XorShift64 rng(t);
      while (!stop) {
        const float* q = f.row(rng.below(400));
        auto filter = x.compile_filter_cached(t == 0 ? R"({"tag": "w1"})" : "{}");
        for (const Hit& h : x.search_core(q, 10, 4, 100, filter->get(), true)) (void)x.ext_of(h.row);
      }
    });
  }
  std::vector<float> v(16, 0.5f);
  for (int i = 0; i < 150; ++i) {
    ASSERT_TRUE(x.add(AddOp(Name("c", i), v, {{"tag", Name("w", i % 3)}, {Name("f", i), i}})).ok());
    if (i % 3 == 0) {
      ASSERT_TRUE(x.remove(Name("c", i / 2)).ok());
    }
  }
  stop = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(x.delta_count(), 150u);
}

}  // namespace
}  // namespace nimbrel
