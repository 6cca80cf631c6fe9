// Power cuts at every point of a write workload. The workload's file
// changes are traced; a model of the disk (power_cut_model.h) replays the
// trace and, at each point where what the disk holds changes, draws states
// the machine may come back in. Each state must open, hold every operation
// acknowledged as durable exactly once and otherwise a prefix of the
// operations in call order, and keep working: one more add (as long as the
// first frame the replay dropped, when it dropped one) survives a reopen,
// and nothing a first open dropped comes back.
//
// NIMBREL_POWER_CUT_STATES (states drawn per cut point) and
// NIMBREL_POWER_CUT_SEED scale the run; scripts/power-cut runs a large one.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <set>
#include <sstream>

#include "ivf_rabitq/index.h"
#include "ivf_rabitq/record.h"
#include "ivf_rabitq/segment_format.h"
#include "ivf_rabitq/storage.h"
#include "ivf_rabitq/wal.h"
#include "power_cut_model.h"
#include "test_util.h"

namespace nimbrel {
namespace {

namespace fs = std::filesystem;
using power_cut::Bytes;
using power_cut::CrashState;
using power_cut::DiskModel;
using power_cut::Recorder;

constexpr uint64_t kDim = 8;

uint64_t EnvOr(const char* name, uint64_t fallback) {
  std::string v;
  return platform::GetEnv(name, &v) && !v.empty() ? std::stoull(v) : fallback;
}

// Live rows: id -> metadata text.
using Rows = std::map<std::string, std::string>;

// The live rows of a segment as a reader lists them; ids listed more than
// once go to *twice.
Rows LiveRows(const IvfIndex& x, std::string* twice) {
  const std::vector<std::string> ids = x.ids_matching(nullptr);
  const std::vector<std::string> metas = x.get_metas(ids);
  Rows rows;
  twice->clear();
  for (size_t i = 0; i < ids.size(); ++i) {
    if (!rows.emplace(ids[i], metas[i]).second) twice->append(" ").append(ids[i]);
  }
  return rows;
}

// Which operation wrote a row, from its metadata (every add's is unique).
std::string Origin(const std::string& meta) {
  const nlohmann::json m = nlohmann::json::parse(meta, nullptr, false);
  if (m.is_object() && m.contains("op")) return "op " + m["op"].dump();
  if (m.is_object() && m.contains("base")) return "the build";
  return meta.substr(0, 40);
}

// How many ids `got` lacks, has in excess or holds otherwise, compared to `want`.
size_t Differences(const Rows& got, const Rows& want) {
  size_t n = 0;
  for (const auto& [id, meta] : want) {
    auto it = got.find(id);
    n += it == got.end() || it->second != meta;
  }
  for (const auto& [id, meta] : got) n += want.count(id) == 0;
  return n;
}

// What `got` lacks, has in excess and holds otherwise, compared to `want`.
std::string Diff(const Rows& got, const Rows& want) {
  std::string missing, extra, changed;
  int shown = 0;
  auto note = [&](std::string* to, const std::string& text) {
    if (++shown <= 8) to->append(to->empty() ? "" : ", ").append(text);
  };
  for (const auto& [id, meta] : want) {
    auto it = got.find(id);
    if (it == got.end()) note(&missing, id + " (" + Origin(meta) + ")");
    else if (it->second != meta) note(&changed, id + " (" + Origin(it->second) + " instead of " + Origin(meta) + ")");
  }
  for (const auto& [id, meta] : got) {
    if (want.count(id) == 0) note(&extra, id + " (" + Origin(meta) + ")");
  }
  std::string out;
  auto part = [&](const char* label, const std::string& ids) {
    if (!ids.empty()) out.append(out.empty() ? "" : "; ").append(label).append(ids);
  };
  part("missing ", missing);
  part("unexpected ", extra);
  part("other metadata for ", changed);
  if (shown > 8) out += " (" + std::to_string(shown) + " differences in all)";
  return out;
}

// ---- the workload and its history -----------------------------------------------

struct Operation {
  std::string what;                  // for reports: "add a3 (op 7) by A"
  size_t started = 0, returned = 0;  // the trace's length at the call and at its return
  bool durable = false;              // acknowledged as durable at its return
};

// The operations in call order, with the live rows after each prefix.
struct History {
  std::vector<Operation> ops;
  std::vector<Rows> after;  // after[j]: the rows once the first j operations are applied

  // Operations durable by a return before the cut at t (events 0..t-1 happened).
  size_t Durable(size_t t) const {
    size_t n = 0;
    for (size_t i = 0; i < ops.size(); ++i) {
      if (ops[i].durable && ops[i].returned <= t) n = i + 1;
    }
    return n;
  }
  // Operations whose call started before the cut at t.
  size_t Started(size_t t) const {
    size_t n = 0;
    while (n < ops.size() && ops[n].started < t) ++n;
    return n;
  }
  // The operation in flight at the cut, if any.
  std::string During(size_t t) const {
    for (const Operation& op : ops) {
      if (op.started < t && t < op.returned) return " during " + op.what;
    }
    return "";
  }
};

// Runs operations against writers of one directory and records them.
// Writer "A" owns the build's ids and the ids "a<n>", writer "B" the ids
// "c<n>": writers of one directory keep to disjoint ids.
class Workload {
 public:
  explicit Workload(const Recorder& recorder) : recorder_(recorder) {}

  History history;

  void Begin(const Rows& rows) { history.after = {rows}; }

  void Add(IvfIndex& w, const std::string& who, const std::string& id, size_t pad, std::vector<float> vector = {}) {
    nlohmann::json meta = {{"op", history.ops.size()}};
    if (pad > 0) {
      std::string text(pad, ' ');
      for (size_t i = 0; i < pad; ++i) text[i] = static_cast<char>('a' + rng_.below(26));
      meta["pad"] = text;
    }
    WalOp op;
    op.id = id;
    op.vector = vector.empty() ? GaussianVector(kDim, rng_, 3.0) : std::move(vector);
    op.meta = meta.dump();
    const uint64_t flushes = w.wal_flush_count.load();
    const size_t started = recorder_.size();
    const Status st = w.add(op);
    ASSERT_TRUE(st.ok()) << st.message();
    Rows next = history.after.back();
    next[id] = meta.dump();
    // The model's text must be what the segment stores.
    ASSERT_EQ(w.get_metas({id})[0], next[id]);
    Record("add " + id + " (op " + std::to_string(history.ops.size()) + ", " + std::to_string(op.meta.size()) +
               " bytes of metadata) by " + who,
           started, w.wal_flush_count.load() > flushes, std::move(next));
  }

  void Remove(IvfIndex& w, const std::string& who, const std::string& id) {
    const uint64_t flushes = w.wal_flush_count.load();
    const size_t started = recorder_.size();
    Result<bool> removed = w.remove(id);
    ASSERT_TRUE(removed.ok()) << removed.status().message();
    ASSERT_TRUE(*removed) << id;
    Rows next = history.after.back();
    next.erase(id);
    Record("delete " + id + " (op " + std::to_string(history.ops.size()) + ") by " + who, started,
           w.wal_flush_count.load() > flushes, std::move(next));
  }

  void SyncLog(IvfIndex& w, const std::string& who) {
    const size_t started = recorder_.size();
    const Status st = w.sync_wal();
    ASSERT_TRUE(st.ok()) << st.message();
    Record("sync_wal (op " + std::to_string(history.ops.size()) + ") by " + who, started, true, history.after.back());
  }

  void Checkpoint(IvfIndex& w, const std::string& who) {
    const size_t started = recorder_.size();
    const Status st = w.checkpoint(storage::read_generation(w.path()) + 1);
    ASSERT_TRUE(st.ok()) << st.message();
    Record("checkpoint (op " + std::to_string(history.ops.size()) + ") by " + who, started, true,
           history.after.back());
  }

  // An add with large metadata whose vector holds, byte for byte, a whole
  // frame deleting one of the writer's live rows, laid out as the log's
  // version 1 frames are (length, CRC, record). A vector's bytes can be
  // anything: a reader that looks for frames inside a torn one finds it.
  void AddFrameInVector(IvfIndex& w, const std::string& who, const std::string& id) {
    for (const auto& [victim, meta] : history.after.back()) {
      if (victim[0] != (who == "A" ? 'b' : 'c') || victim.size() > kDim * 4 - 20) continue;
      std::vector<uint8_t> bytes(kDim * 4, 0);
      const uint32_t record = static_cast<uint32_t>(12 + victim.size());
      store_le<uint32_t>(bytes.data(), record);
      store_le<uint32_t>(bytes.data() + 8, 1);  // the delete tag
      store_le<uint64_t>(bytes.data() + 12, victim.size());
      std::copy(victim.begin(), victim.end(), bytes.begin() + 20);
      store_le<uint32_t>(bytes.data() + 4, crc32_ieee(bytes.data() + 8, record));
      std::vector<float> v(kDim);
      std::memcpy(v.data(), bytes.data(), bytes.size());
      bool finite = true;  // as the handle requires of a vector
      for (float x : v) finite = finite && std::isfinite(x);
      if (finite) return Add(w, who, id, 3000, std::move(v));
    }
    FAIL() << "no live row of " << who << " to aim a frame at";
  }

  // Adds of over two pages each and a delete of a row of the build, none
  // flushed, then a checkpoint: only its own flush puts the adds on the
  // device before deleted.bin holds the delete, and a page lost among
  // them leaves whole frames after the hole.
  void UnflushedThenCheckpoint(IvfIndex& w, const std::string& who) {
    const uint32_t interval = w.group_commit_interval.load();
    w.group_commit_interval = 1000;
    for (int i = 0; i < 6; ++i) ASSERT_NO_FATAL_FAILURE(Add(w, who, "a-page" + std::to_string(i), 8500));
    const auto built = std::find_if(history.after.back().begin(), history.after.back().end(),
                                    [](const auto& row) { return row.first[0] == 'b'; });
    ASSERT_NE(built, history.after.back().end());
    ASSERT_NO_FATAL_FAILURE(Remove(w, who, std::string(built->first)));
    ASSERT_NO_FATAL_FAILURE(Checkpoint(w, who));
    w.group_commit_interval = interval;
  }

  // `n` operations of one writer on its own ids: new ids, upserts and
  // deletes; with `large_every`, every so many adds carry 2-5 KB of
  // metadata, so that frames span several sectors and pages.
  void Mixed(IvfIndex& w, const std::string& who, int n, int large_every = 0) {
    const std::string owned = who == "A" ? "ab" : "c";
    for (int i = 0; i < n; ++i) {
      std::vector<std::string> live;
      for (const auto& [id, meta] : history.after.back()) {
        if (owned.find(id[0]) != std::string::npos) live.push_back(id);
      }
      const uint64_t pick = rng_.below(10);
      if (pick >= 5 && !live.empty()) {
        const std::string& id = live[rng_.below(live.size())];
        if (pick < 8) ASSERT_NO_FATAL_FAILURE(Add(w, who, id, Pad(large_every)));
        else ASSERT_NO_FATAL_FAILURE(Remove(w, who, id));
        continue;
      }
      const std::string id = std::string(1, owned[0]) + std::to_string(next_id_[owned[0]]++);
      ASSERT_NO_FATAL_FAILURE(Add(w, who, id, Pad(large_every)));
    }
  }

 private:
  size_t Pad(int large_every) {
    if (large_every == 0 || ++adds_ % large_every != 0) return 0;
    return 2000 + rng_.below(3000);
  }

  void Record(std::string what, size_t started, bool durable, Rows next) {
    history.ops.push_back({std::move(what), started, recorder_.size(), durable});
    history.after.push_back(std::move(next));
  }

  const Recorder& recorder_;
  XorShift64 rng_{20240601};
  std::map<char, int> next_id_;
  int adds_ = 0;
};

std::shared_ptr<IvfIndex> OpenWriter(const std::string& dir, uint32_t interval) {
  Result<std::shared_ptr<IvfIndex>> x = IvfIndex::open_with_skip(dir, std::nullopt, kDim);
  EXPECT_TRUE(x.ok()) << x.status().message();
  if (!x.ok()) return nullptr;
  (*x)->group_commit_interval = interval;
  return *x;
}

void BuildBase(const std::string& dir) {
  XorShift64 rng(11);
  const uint64_t n = 60;
  std::vector<float> data = GaussianVector(n * kDim, rng, 3.0);
  BuildInput in;
  in.dir = dir;
  in.data = data.data();
  in.data_len = data.size();
  in.n = n;
  in.dim = kDim;
  in.n_clusters = 4;
  for (uint64_t i = 0; i < n; ++i) {
    in.ids.push_back(std::string("b").append(std::to_string(i)));  // (operator+ here trips a false GCC 12 warning)
    in.metadata.push_back({{"base", i}});
  }
  const Status st = IvfIndex::build(in);
  ASSERT_TRUE(st.ok()) << st.message();
}

// Writer A alone, with a flush per operation, then per three; a log sync
// and a checkpoint in place; large adds, and adds whose vectors hold a
// frame; adds and a delete left unflushed for a checkpoint in place;
// writer B appending beside A; a
// checkpoint through a fresh view, after which both reopen (as the handle
// does when the generation changes) and go on. Dropping the writers at the
// end flushes the log once more, as their destructors do.
void RunWorkload(const std::string& dir, Workload& w) {
  std::shared_ptr<IvfIndex> a = OpenWriter(dir, 1);
  ASSERT_TRUE(a);
  std::string twice;
  w.Begin(LiveRows(*a, &twice));
  ASSERT_NO_FATAL_FAILURE(w.Mixed(*a, "A", 12));
  a->group_commit_interval = 3;
  ASSERT_NO_FATAL_FAILURE(w.Mixed(*a, "A", 12));
  ASSERT_NO_FATAL_FAILURE(w.SyncLog(*a, "A"));
  ASSERT_TRUE(a->matches_disk());
  ASSERT_NO_FATAL_FAILURE(w.Checkpoint(*a, "A"));
  ASSERT_NO_FATAL_FAILURE(w.Mixed(*a, "A", 5, 2));
  ASSERT_NO_FATAL_FAILURE(w.AddFrameInVector(*a, "A", "a-framed"));
  ASSERT_NO_FATAL_FAILURE(w.Mixed(*a, "A", 5, 2));
  ASSERT_NO_FATAL_FAILURE(w.UnflushedThenCheckpoint(*a, "A"));
  ASSERT_NO_FATAL_FAILURE(w.Mixed(*a, "A", 2));

  std::shared_ptr<IvfIndex> b = OpenWriter(dir, 2);
  ASSERT_TRUE(b);
  for (int i = 0; i < 8; ++i) {
    ASSERT_NO_FATAL_FAILURE(w.Mixed(*a, "A", 1, 3));
    ASSERT_NO_FATAL_FAILURE(w.Mixed(*b, "B", 1, 2));
  }
  {
    std::shared_ptr<IvfIndex> fresh = OpenWriter(dir, 1);
    ASSERT_TRUE(fresh);
    ASSERT_NO_FATAL_FAILURE(w.Checkpoint(*fresh, "a fresh view"));
  }
  a = OpenWriter(dir, 3);
  b = OpenWriter(dir, 2);
  ASSERT_TRUE(a && b);
  for (int i = 0; i < 6; ++i) {
    ASSERT_NO_FATAL_FAILURE(w.Mixed(*a, "A", 1, 2));
    ASSERT_NO_FATAL_FAILURE(w.Mixed(*b, "B", 1, 3));
    if (i == 2) {
      ASSERT_NO_FATAL_FAILURE(w.AddFrameInVector(*b, "B", "c-framed"));
    }
  }
}

// ---- the states ----------------------------------------------------------------------

std::map<std::string, Bytes> ReadDirectory(const std::string& dir) {
  std::map<std::string, Bytes> files;
  for (const std::string& name : ListFiles(dir)) files[name] = ReadBytes(dir + "/" + name);
  return files;
}

uint64_t Fingerprint(const std::map<std::string, Bytes>& files) {
  uint64_t h = 1469598103934665603ull;
  auto mix = [&](const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    h = (h ^ 0xff) * 1099511628211ull;
  };
  for (const auto& [name, content] : files) {
    mix(reinterpret_cast<const uint8_t*>(name.data()), name.size());
    mix(content.data(), content.size());
  }
  return h;
}

// Sends standard error to a file while alive, so that the repair notices
// of thousands of opens are counted rather than printed.
class StderrToFile {
 public:
  explicit StderrToFile(const std::string& path) {
    std::fflush(stderr);
    saved_ = ::dup(2);
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd_, 2);
  }
  ~StderrToFile() {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    ::close(fd_);
  }
  // The lines written since the last call.
  std::vector<std::string> Take() {
    std::fflush(stderr);
    std::string text(static_cast<size_t>(::lseek(fd_, 0, SEEK_END)), '\0');
    if (!text.empty() && ::pread(fd_, text.data(), text.size(), 0) < 0) text.clear();
    (void)::ftruncate(fd_, 0);
    ::lseek(fd_, 0, SEEK_SET);
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  int saved_ = -1, fd_ = -1;
};

// How one recovered state fares: the first check it fails, if any, and how.
struct Verdict {
  enum Check { kKept, kOpens, kRows, kKeepsWorking } check = kKept;
  std::string why;
};

// The add a recovered state takes. Where the recovered log ends at a hole,
// it is as long as the frame (with its mark) that began there in the log
// as written: put in its place by an append that did not cut off the rest
// of the tail first, it would leave the frames after the hole where the
// next replay finds them.
WalOp Probe(const std::string& dir, const std::map<std::string, Bytes>& written) {
  WalOp probe;
  probe.id = "probe";
  probe.vector.assign(kDim, 0.5f);
  probe.meta = R"({"probe":true})";
  const std::string log = dir + "/" + segment::kWalFile;
  auto as_written = written.find(segment::kWalFile);
  if (as_written == written.end() || !platform::Exists(log)) return probe;
  const Bytes recovered = ReadBytes(log);
  const Result<wal::Scan> now = wal::scan(recovered.data(), recovered.size(), 0, kDim);
  const Result<wal::Scan> then = wal::scan(as_written->second.data(), as_written->second.size(), 0, kDim);
  if (!now.ok() || !then.ok() || !now->tail || now->header.log_id != then->header.log_id) return probe;
  for (const wal::Scan::Frame& f : then->frames) {
    if (f.offset < now->end) continue;
    WalOp bare = probe;
    bare.meta = R"({"probe":""})";
    const uint64_t size = wal::frame_body(bare).size(), dropped = f.end - now->end;
    if (dropped >= size) probe.meta = nlohmann::json{{"probe", std::string(dropped - size, 'p')}}.dump();
    break;
  }
  return probe;
}

// `written`: the directory as the writers left it at the cut.
Verdict CheckState(const std::string& dir, const History& h, size_t t, const std::map<std::string, Bytes>& written) {
  Result<std::shared_ptr<IvfIndex>> opened = IvfIndex::open_with_skip(dir, std::nullopt, kDim);
  if (!opened.ok()) return {Verdict::kOpens, "does not open: " + opened.status().message()};
  std::shared_ptr<IvfIndex> x = *opened;
  std::string twice;
  const Rows rows = LiveRows(*x, &twice);
  if (!twice.empty()) return {Verdict::kRows, "ids listed twice:" + twice};

  const size_t lo = h.Durable(t), hi = h.Started(t);
  bool prefix = false;
  for (size_t j = lo; j <= hi && !prefix; ++j) prefix = h.after[j] == rows;
  if (!prefix) {
    std::string why = "holds no prefix of the history of " + std::to_string(lo) + " to " + std::to_string(hi) +
                      " operations: ";
    for (size_t j = 0; j < h.after.size(); ++j) {
      if (h.after[j] == rows) {
        why += "it equals the first " + std::to_string(j) + "; ";
        break;
      }
    }
    // Described against the closest allowed prefix, the longest of equals:
    // then what differs reads as the operations lost or out of order.
    size_t best = lo;
    for (size_t j = lo; j <= hi; ++j) {
      if (Differences(rows, h.after[j]) <= Differences(rows, h.after[best])) best = j;
    }
    return {Verdict::kRows, why + "against the first " + std::to_string(best) + ": " + Diff(rows, h.after[best])};
  }

  // One more add, durable at once, then a reopen: the recovered rows and
  // that one, whatever the first open skipped or cut off.
  const WalOp probe = Probe(dir, written);
  x->group_commit_interval = 1;
  const Status added = x->add(probe);
  if (!added.ok()) return {Verdict::kKeepsWorking, "an add after recovery fails: " + added.message()};
  x.reset();
  opened = IvfIndex::open_with_skip(dir, std::nullopt, kDim);
  if (!opened.ok()) return {Verdict::kKeepsWorking, "does not open after one more add: " + opened.status().message()};
  Rows want = rows;
  want["probe"] = probe.meta;
  const Rows again = LiveRows(**opened, &twice);
  if (!twice.empty()) return {Verdict::kKeepsWorking, "after one more add and a reopen, ids listed twice:" + twice};
  if (again != want) return {Verdict::kKeepsWorking, "after one more add and a reopen: " + Diff(again, want)};
  return {};
}

// The trace with the operations it belongs to, for whoever investigates.
void PrintTrace(const std::vector<power_cut::Event>& events, const History& h) {
  size_t next = 0;
  for (size_t t = 0; t < events.size(); ++t) {
    for (; next < h.ops.size() && h.ops[next].started == t; ++next) std::cout << "  -- " << h.ops[next].what << "\n";
    std::cout << "  " << t << ": " << power_cut::Describe(events[t]) << "\n";
  }
}

TEST(PowerCut, AcknowledgedOperationsSurviveAndTheRestIsAPrefixOfTheHistory) {
  const uint64_t states_per_cut = EnvOr("NIMBREL_POWER_CUT_STATES", 3);
  const uint64_t seed = EnvOr("NIMBREL_POWER_CUT_SEED", 1);
  // Prints the trace, and every violation rather than the first few.
  const bool verbose = EnvOr("NIMBREL_POWER_CUT_VERBOSE", 0) != 0;
  const auto began = std::chrono::steady_clock::now();
  TempDir tmp;
  const std::string dir = tmp.file("seg");
  ASSERT_NO_FATAL_FAILURE(BuildBase(dir));
  const std::map<std::string, Bytes> start = ReadDirectory(dir);

  Recorder recorder;
  Workload workload(recorder);
  RunWorkload(dir, workload);
  recorder.Stop();
  ASSERT_FALSE(HasFatalFailure());
  const std::vector<power_cut::Event>& events = recorder.events();
  const History& h = workload.history;
  if (verbose) PrintTrace(events, h);

  // Which events change what a cut may leave. The model must follow every
  // event, and end where the directory did.
  std::vector<bool> changes(events.size());
  {
    DiskModel model(dir, start);
    std::string error;
    for (size_t t = 0; t < events.size(); ++t) {
      changes[t] = model.Apply(events[t], &error);
      ASSERT_TRUE(error.empty()) << "event " << t << " (" << power_cut::Describe(events[t]) << "): " << error;
    }
    const std::map<std::string, Bytes> now = ReadDirectory(dir);
    const std::map<std::string, Bytes> modelled = model.Current();
    for (const auto& [name, content] : now) {
      EXPECT_TRUE(modelled.count(name) != 0 && modelled.at(name) == content) << "the model disagrees on " << name;
    }
    EXPECT_EQ(modelled.size(), now.size());
    ASSERT_FALSE(HasFailure());
  }

  // A cut just before each event that changes the disk's possible states
  // (and one after the last event) sees every state; of the cuts between
  // two such events it is the one the most operations have returned by.
  struct Violation {
    size_t cut;
    std::string where, variant, why;
  };
  std::vector<Violation> violations;
  size_t by_check[4] = {};
  size_t cut_points = 0, states = 0, repeats = 0, notices = 0;
  const std::string scratch = tmp.file("state");
  {
    StderrToFile err(tmp.file("stderr.txt"));
    DiskModel model(dir, start);
    std::string error;
    for (size_t t = 0; t <= events.size(); ++t) {
      if (t == events.size() || changes[t]) {
        ++cut_points;
        XorShift64 rng((seed * 0x9e3779b97f4a7c15ull) ^ (t * 0xbf58476d1ce4e5b9ull) ^ 0x5deece66dull);
        std::set<uint64_t> seen;
        const std::map<std::string, Bytes> written = model.Current();
        for (uint64_t k = 0; k < states_per_cut; ++k) {
          const CrashState s = model.Cut(rng);
          if (!seen.insert(Fingerprint(s.files)).second) {
            ++repeats;
            continue;
          }
          ++states;
          fs::remove_all(scratch);
          fs::create_directories(scratch);
          for (const auto& [name, content] : s.files) WriteBytes(scratch + "/" + name, content);
          const Verdict v = CheckState(scratch, h, t, written);
          notices += err.Take().size();
          if (v.check == Verdict::kKept) continue;
          ++by_check[v.check];
          const std::string where = t == events.size() ? "after the last event"
                                                       : "before event " + std::to_string(t) + " (" +
                                                             power_cut::Describe(events[t]) + ")" + h.During(t);
          violations.push_back({t, where, s.variant, v.why});
        }
      }
      if (t < events.size()) model.Apply(events[t], &error);
    }
  }

  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::cout << "power cut: seed " << seed << ", " << h.ops.size() << " operations, " << events.size()
            << " events: " << cut_points << " cut points, " << states << " states (" << repeats
            << " repeated draws skipped), " << violations.size() << " violations (" << by_check[Verdict::kOpens]
            << " do not open, " << by_check[Verdict::kRows] << " hold other rows, "
            << by_check[Verdict::kKeepsWorking] << " fail after one more add), " << notices << " notices, "
            << std::fixed << std::setprecision(1) << seconds << " s" << std::endl;
  std::ostringstream shown;
  for (size_t i = 0; i < violations.size() && (verbose || i < 5); ++i) {
    const Violation& v = violations[i];
    shown << "\n  cut " << v.cut << ", " << v.where << "\n    state: " << v.variant << "\n    " << v.why;
  }
  EXPECT_TRUE(violations.empty()) << violations.size() << " of " << states << " states break the promise"
                                  << (verbose ? ":" : "; the first ones:") << shown.str();
}

}  // namespace
}  // namespace nimbrel
