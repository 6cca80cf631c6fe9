// Opening a segment whose write-path files were cut short or had bytes
// changed: it opens (with what the undamaged part holds) or refuses with
// "corrupt index: ...", and every read of what it opened stays inside its
// buffers (build with -fsanitize=address,undefined to check the latter).
#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "ivf_rabitq/index.h"
#include "ivf_rabitq/record.h"
#include "ivf_rabitq/storage.h"
#include "ivf_rabitq/wal.h"
#include "test_util.h"

namespace nimbrel {
namespace {

constexpr size_t kDim = 8;

struct Counts {
  uint64_t live, delta, tombstones;
  bool operator==(const Counts&) const = default;
};

std::vector<uint8_t> Prefix(const std::vector<uint8_t>& bytes, size_t n) {
  return std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
}

// A header file (magic, CRC-32 of the body, body) around `body`.
std::vector<uint8_t> WithCrc(const std::vector<uint8_t>& original, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> out(original.begin(), original.begin() + 4);
  out.resize(8);
  store_le<uint32_t>(out.data() + 4, crc32_ieee(body.data(), body.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

class DamagedWritePath : public ::testing::Test {
 protected:
  void SetUp() override {
    RandomSegment s = MakeRandomSegment(dir(), {.n = 200, .dim = kDim, .lists = 4});
    std::shared_ptr<IvfIndex> x = BuildAndOpen(s.input);
    ASSERT_TRUE(x);
    XorShift64 rng(3);
    // New rows with metadata and sparse terms, an upsert of a main row, deletes.
    auto add = [&](const std::string& id, int i) {
      WalOp op;
      op.id = id;
      op.vector = GaussianVector(kDim, rng, 3.0);
      op.meta = nlohmann::json{{"num", i % 13}, {"tag", std::string("w").append(std::to_string(i % 3))}, {std::string("new").append(std::to_string(i)), i}}.dump();
      op.sparse = {{static_cast<uint32_t>(i % 50), 0.5f}};
      ASSERT_TRUE(x->add(std::move(op)).ok());
    };
    for (int i = 0; i < 6; ++i) add(std::string("d").append(std::to_string(i)), i);
    add(s.input.ids[10], 99);
    for (const std::string& id : {s.input.ids[3], std::string("d1"), s.input.ids[150]}) ASSERT_TRUE(x->remove(id).ok());
    ASSERT_TRUE(x->checkpoint(1).ok());
    for (int i = 0; i < 5; ++i) add(std::string("w").append(std::to_string(i)), 20 + i);
    for (const std::string& id : {std::string("d2"), std::string("w1"), s.input.ids[7]}) ASSERT_TRUE(x->remove(id).ok());
    x.reset();
    for (const char* name : {"wal.bin", "delta.bin", "deleted.bin"}) original_[name] = ReadBytes(tmp_.file("seg/" + std::string(name)));
    query_ = std::vector<float>(s.data.begin(), s.data.begin() + kDim);
  }

  std::string dir() const { return tmp_.file("seg"); }

  // Opens with `name` holding `bytes` and the other write-path files as
  // written. Refused with "corrupt index: ..." gives nullopt; any other
  // failure fails the test. What opens is read whole: ids, metadata, a
  // filtered and an unfiltered search.
  std::optional<Counts> OpenWith(const std::string& name, const std::vector<uint8_t>& bytes) {
    for (const auto& [n, b] : original_) WriteBytes(tmp_.file("seg/" + n), n == name ? bytes : b);
    testing::internal::CaptureStderr();  // the repair notices
    Result<std::shared_ptr<IvfIndex>> x = IvfIndex::open_with_skip(dir(), std::nullopt, kDim);
    (void)testing::internal::GetCapturedStderr();
    if (!x.ok()) {
      EXPECT_TRUE(x.status().message().starts_with("corrupt index: ")) << name << ": " << x.status().message();
      return std::nullopt;
    }
    const IvfIndex& idx = **x;
    const uint64_t rows = idx.main_count() + idx.delta_count();
    for (uint32_t row = 0; row < rows; ++row) {
      (void)idx.ext_of(row);
      (void)idx.row_meta_str(row);
    }
    auto filter = idx.compile_filter_cached(R"({"$or": [{"num": {"$lt": 4}}, {"tag": "w1"}]})");
    EXPECT_TRUE(filter.ok());
    for (const Predicate* p : {static_cast<const Predicate*>(nullptr), filter.ok() ? filter->get() : nullptr}) {
      const std::vector<Hit> hits = idx.search_core(query_.data(), 1000, 4, 1000, p, true);
      if (p == nullptr) {
        EXPECT_EQ(hits.size(), idx.live_count()) << name;
      }
      for (const Hit& h : hits) (void)idx.ext_of(h.row);
      (void)idx.search_bruteforce(query_.data(), 50, p);
    }
    return Counts{idx.live_count(), idx.delta_count(), idx.tombstone_count()};
  }

  TempDir tmp_;
  std::map<std::string, std::vector<uint8_t>> original_;
  std::vector<float> query_;
};

TEST_F(DamagedWritePath, ALogCutInsideItsLastFramesKeepsTheWholeFramesBeforeTheCut) {
  const std::vector<uint8_t>& wal = original_["wal.bin"];
  Result<wal::Scan> scan = wal::scan(wal.data(), wal.size(), 0);
  ASSERT_TRUE(scan.ok());
  ASSERT_EQ(scan->frames.size(), 8u);
  // A cut opens as the cut at the end of the last whole operation before it
  // does (the marks between operations change nothing).
  std::map<uint64_t, Counts> at_boundary;
  const size_t first = scan->frames.size() - 3;
  std::vector<uint64_t> boundaries = {scan->frames[first].offset};
  for (size_t k = first; k < scan->frames.size(); ++k) boundaries.push_back(scan->frames[k].end);
  for (uint64_t boundary : boundaries) {
    std::optional<Counts> c = OpenWith("wal.bin", Prefix(wal, boundary));
    ASSERT_TRUE(c) << boundary;
    at_boundary[boundary] = *c;
  }
  for (uint64_t cut = at_boundary.begin()->first; cut < wal.size(); ++cut) {
    std::optional<Counts> c = OpenWith("wal.bin", Prefix(wal, cut));
    ASSERT_TRUE(c) << cut;
    EXPECT_EQ(*c, std::prev(at_boundary.upper_bound(cut))->second) << "cut at " << cut;
  }
}

TEST_F(DamagedWritePath, DeltaAndTombstonesCutShortAreRefusedWithOrWithoutAMatchingChecksum) {
  for (const char* name : {"delta.bin", "deleted.bin"}) {
    const std::vector<uint8_t> file = original_[name];
    const std::vector<uint8_t> body(file.begin() + 8, file.end());
    for (size_t n = 0; n < file.size(); ++n) EXPECT_FALSE(OpenWith(name, Prefix(file, n))) << name << " cut at " << n;
    for (size_t n = 0; n < body.size(); ++n) {
      EXPECT_FALSE(OpenWith(name, WithCrc(file, Prefix(body, n)))) << name << " body cut at " << n;
    }
  }
}

TEST_F(DamagedWritePath, ChangedBytesOpenOrAreRefused) {
  XorShift64 rng(17);
  const std::vector<std::string> names = {"wal.bin", "delta.bin", "deleted.bin"};
  int opened = 0;
  for (int trial = 0; trial < 400; ++trial) {
    const std::string& name = names[trial % names.size()];
    std::vector<uint8_t> bytes = original_[name];
    const size_t first = name == "wal.bin" ? wal::kHeaderBytes : 8;  // past the header
    const bool fix_checksum = rng.below(4) != 0;
    size_t lowest = bytes.size();
    for (uint64_t changes = 1 + rng.below(3); changes > 0; --changes) {
      const size_t at = first + rng.below(bytes.size() - first);
      bytes[at] ^= static_cast<uint8_t>(1 + rng.below(255));
      lowest = std::min(lowest, at);
    }
    if (fix_checksum && name != "wal.bin") {
      bytes = WithCrc(bytes, std::vector<uint8_t>(bytes.begin() + 8, bytes.end()));
    } else if (fix_checksum) {
      // Recompute the CRC of the frame the first change hit, so that its
      // damaged record reaches the decoder.
      Result<wal::Scan> scan = wal::scan(original_[name].data(), original_[name].size(), 0);
      ASSERT_TRUE(scan.ok());
      for (const auto& f : scan->frames) {
        if (lowest >= f.offset + wal::kFrameHeaderBytes && lowest < f.end) {
          std::vector<uint8_t> frame(bytes.begin() + f.offset, bytes.begin() + f.end);
          wal::seal(&frame, scan->header.log_id, f.offset);
          std::copy(frame.begin(), frame.begin() + 8, bytes.begin() + f.offset);
        }
      }
    }
    std::optional<Counts> c = OpenWith(name, bytes);
    // A log damaged past its header always opens: damage is skipped.
    if (name == "wal.bin") {
      EXPECT_TRUE(c) << "trial " << trial;
    }
    opened += c.has_value();
  }
  EXPECT_GT(opened, 100);
}

}  // namespace
}  // namespace nimbrel
