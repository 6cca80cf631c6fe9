// IvfIndex::build: refusals, what each file holds, row order, repeated
// ids, the rerank copies, and reproducibility.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>

#include "ivf_rabitq/index.h"
#include "ivf_rabitq/kmeans.h"
#include "ivf_rabitq/record.h"
#include "ivf_rabitq/segment_format.h"
#include "ivf_rabitq/storage.h"
#include "platform/fs.h"
#include "test_util.h"

namespace nimbrel {
namespace {

// "r<i>", the id of row i of a SmallInput.
std::string RowId(uint64_t i) { return std::string("r").append(std::to_string(i)); }

// A tiny build input over the given rows (one id and null metadata per row).
struct SmallInput {
  std::vector<float> data;
  BuildInput in;
  SmallInput(const std::string& dir, size_t dim, std::vector<float> values) : data(std::move(values)) {
    in.dir = dir;
    in.dim = dim;
    in.n = data.size() / dim;
    in.data = data.data();
    in.data_len = data.size();
    in.n_clusters = 1;
    for (uint64_t i = 0; i < in.n; ++i) {
      in.ids.push_back(RowId(i));
      in.metadata.push_back(nullptr);
    }
  }
};

std::shared_ptr<IvfIndex> Open(const std::string& dir) {
  auto idx = IvfIndex::open_with_skip(dir, std::nullopt);
  EXPECT_TRUE(idx.ok()) << idx.status().message();
  return idx.ok() ? *idx : nullptr;
}

TEST(SegmentBuild, RefusalsCarryTheirExactMessages) {
  TempDir dir;
  SmallInput s(dir.file("seg"), 2, {1, 2, 3, 4});
  auto refused = [&](auto change) {
    BuildInput in = s.in;
    change(in);
    Status st = IvfIndex::build(in);
    EXPECT_EQ(st.code(), Code::kInvalidArgument);
    return st.message();
  };
  EXPECT_EQ(refused([](BuildInput& in) { in.dim = 0; }), "build: dim must be >= 1");
  EXPECT_EQ(refused([](BuildInput& in) { in.data_len = 3; }),
            "build: data.len()=3 (expected 4) or ids.len()=2 (expected 2)");
  EXPECT_EQ(refused([](BuildInput& in) { in.ids.pop_back(); }),
            "build: data.len()=4 (expected 4) or ids.len()=1 (expected 2)");
  EXPECT_EQ(refused([](BuildInput& in) { in.metadata.push_back(nullptr); }),
            "build: metadata.len()=3 (expected 2)");
  EXPECT_EQ(refused([](BuildInput& in) { in.sparse.resize(1); }), "build: sparse.len()=1 (expected 2 or 0)");
  EXPECT_EQ(refused([](BuildInput& in) { in.n_bits = 0; }), "build: n_bits must be between 1 and 8, got 0");
  EXPECT_EQ(refused([](BuildInput& in) { in.n_bits = 9; }), "build: n_bits must be between 1 and 8, got 9");
  EXPECT_EQ(refused([](BuildInput& in) { in.dim = 1ull << 63; in.n = 0; in.data_len = 0; in.ids.clear(); in.metadata.clear(); }),
            "build: dim must be at most 2147483647, got 9223372036854775808");
  EXPECT_EQ(refused([](BuildInput& in) { in.n = 4294967295ull; in.data_len.reset(); }),
            "slot space exhausted: 0 existing + 4294967295 new rows exceed the u32 slot capacity");
  EXPECT_FALSE(platform::Exists(dir.file("seg")));  // nothing written
}

TEST(SegmentBuild, NoRowsGivesAValidEmptySegment) {
  TempDir dir;
  SmallInput s(dir.file("a/b/seg"), 3, {});
  ASSERT_TRUE(IvfIndex::build(s.in).ok());
  auto idx = Open(s.in.dir);
  ASSERT_NE(idx, nullptr);
  EXPECT_EQ(idx->main_count(), 0u);
  EXPECT_EQ(idx->manifest().n_lists, 0u);
  EXPECT_EQ(idx->live_count(), 0u);
  EXPECT_FALSE(idx->slot_of("r0").has_value());
  EXPECT_EQ(FileSizeOf(s.in.dir + "/ids_off.bin"), 8u);
  EXPECT_EQ(FileSizeOf(s.in.dir + "/sparse.bin"), 8u);
  EXPECT_EQ(FileSizeOf(s.in.dir + "/codes.bin"), 0u);
}

TEST(SegmentBuild, RepeatedIdKeepsOnlyItsLastRow) {
  TempDir dir;
  SmallInput s(dir.file("seg"), 2, {0, 0, 1, 1, 2, 2, 3, 3, 4, 4});
  s.in.ids = {"a", "b", "a", "c", "b"};
  for (int i = 0; i < 5; ++i) s.in.metadata[i] = {{"i", i}};
  ASSERT_TRUE(IvfIndex::build(s.in).ok());
  auto idx = Open(s.in.dir);
  ASSERT_NE(idx, nullptr);
  EXPECT_EQ(idx->main_count(), 3u);
  EXPECT_EQ(idx->manifest().fit_count, 3u);
  const std::pair<const char*, const char*> want[] = {{"a", R"({"i":2})"}, {"b", R"({"i":4})"}, {"c", R"({"i":3})"}};
  for (auto [id, meta] : want) {
    auto row = idx->slot_of(id);
    ASSERT_TRUE(row.has_value()) << id;
    EXPECT_EQ(idx->row_meta_str(*row), meta) << id;
    EXPECT_EQ(idx->ext_of(*row), id);
  }
  EXPECT_EQ(ReadBytes(s.in.dir + "/ids.bin").size(), 3u);
}

TEST(SegmentBuild, EveryFileHasTheSizeTheManifestImpliesAndItsRecordedChecksum) {
  TempDir dir;
  RandomSegment s = MakeRandomSegment(dir.file("seg"), {.n = 300, .dim = 8, .lists = 6, .bits = 3});
  ASSERT_TRUE(IvfIndex::build(s.input).ok());
  auto idx = Open(s.input.dir);
  ASSERT_NE(idx, nullptr);
  const uint64_t n = 300;
  auto size = [&](const std::string& name) { return FileSizeOf(s.input.dir + "/" + name); };
  EXPECT_EQ(size("codes.bin"), n * (64 / 8) * 3);
  EXPECT_EQ(size("metas.bin"), n * 16);
  EXPECT_EQ(size("orig.bin"), n * 8);
  EXPECT_EQ(size("origscale.bin"), n * 8);
  EXPECT_EQ(size("ids_off.bin"), (n + 1) * 8);
  EXPECT_EQ(size("meta_off.bin"), (n + 1) * 8);
  EXPECT_EQ(size("idhash.bin"), n * 16);
  EXPECT_EQ(size("generation"), 8u);
  EXPECT_EQ(storage::read_generation(s.input.dir), 0u);
  size_t num = 0, str = 0;
  for (const FieldSchema& f : idx->manifest().fields) {
    const std::string file = f.numeric ? "num_" + std::to_string(num++) : "str_" + std::to_string(str++);
    EXPECT_EQ(size(file + ".bin"), n * (f.numeric ? 8 : 4)) << file;
  }
  EXPECT_GT(num, 0u);
  EXPECT_GT(str, 0u);

  // crcs.bin names exactly the data files, with their CRC-32s.
  std::set<std::string> data_files;
  for (const std::string& name : ListFiles(s.input.dir)) {
    EXPECT_EQ(name.find(".writing.tmp"), std::string::npos);
    if (name != "manifest.bin" && name != "format.bin" && name != "crcs.bin" && name != "generation") {
      data_files.insert(name);
    }
  }
  std::set<std::string> recorded;
  for (const auto& [name, crc] : idx->recorded_crcs()) {
    recorded.insert(name);
    const auto bytes = ReadBytes(s.input.dir + "/" + name);
    EXPECT_EQ(crc, crc32_ieee(bytes.data(), bytes.size())) << name;
  }
  EXPECT_EQ(recorded, data_files);
  EXPECT_EQ(idx->format_version(), 3u);
}

TEST(SegmentBuild, RowsAreStoredListByListInInputOrderWithinAList) {
  TempDir dir;
  RandomSegment s = MakeRandomSegment(dir.file("seg"), {.n = 500, .dim = 6, .lists = 9});
  ASSERT_TRUE(IvfIndex::build(s.input).ok());
  auto idx = Open(s.input.dir);
  ASSERT_NE(idx, nullptr);
  const Manifest& m = idx->manifest();
  ASSERT_EQ(m.n_lists, 9u);
  ASSERT_EQ(m.n, 500u);
  std::map<std::string, size_t> input_of;
  for (size_t i = 0; i < s.input.ids.size(); ++i) input_of[s.input.ids[i]] = i;
  for (size_t list = 0; list < m.n_lists; ++list) {
    size_t previous = 0;
    for (uint64_t row = m.list_offsets[list]; row < m.list_offsets[list + 1]; ++row) {
      const size_t i = input_of.at(idx->ext_of(static_cast<uint32_t>(row)));
      if (row > m.list_offsets[list]) {
        EXPECT_GT(i, previous);
      }
      previous = i;
      // Every row sits in the list of its exactly nearest centroid.
      EXPECT_EQ(nearest_centroid_bruteforce(s.data.data() + i * 6, m.centroids.data(), m.n_lists, 6), list);
    }
  }
}

TEST(SegmentBuild, SameInputAndSeedGiveByteIdenticalFiles) {
  TempDir dir;
  RandomSegment a = MakeRandomSegment(dir.file("a"), {.n = 400, .dim = 10});
  RandomSegment b = MakeRandomSegment(dir.file("b"), {.n = 400, .dim = 10});
  ASSERT_TRUE(IvfIndex::build(a.input).ok());
  ASSERT_TRUE(IvfIndex::build(b.input).ok());
  const auto names = ListFiles(dir.file("a"));
  EXPECT_EQ(names, ListFiles(dir.file("b")));
  for (const std::string& name : names) {
    EXPECT_EQ(ReadBytes(dir.file("a/" + name)), ReadBytes(dir.file("b/" + name))) << name;
  }
}

TEST(SegmentBuild, QuantScaleDefaultsToTheLargestAbsoluteInputValue) {
  TempDir dir;
  const std::vector<float> values = {1, -7.25f, 3, 0.5f};
  const std::pair<float, float> cases[] = {{0.0f, 7.25f}, {-1.0f, 7.25f}, {NAN, 7.25f}, {2.0f, 2.0f}};
  for (auto [given, expected] : cases) {
    SmallInput s(dir.file("seg"), 2, values);
    s.in.quant_scale = given;
    ASSERT_TRUE(IvfIndex::build(s.in).ok());
    EXPECT_EQ(Open(s.in.dir)->manifest().quant_scale, expected) << given;
  }
  SmallInput zeros(dir.file("zeros"), 2, {0, 0, 0, 0});
  ASSERT_TRUE(IvfIndex::build(zeros.in).ok());
  EXPECT_EQ(Open(zeros.in.dir)->manifest().quant_scale, 1e-6f);
}

TEST(SegmentBuild, RerankCopiesUseTheSmallestPowerOfTwoScaleCoveringTheRow) {
  TempDir dir;
  SmallInput s(dir.file("seg"), 4, {1, -1, 0, 0.5f,       // max 1: scale 1
                                    3, 0, 0, -0.75f,      // max 3: scale 4
                                    0, 0, 0, 0,           // all zero: smallest code
                                    -0.25f, 0, 0, 0,      // max 1/4: scale 1/4
                                    1e-40f, 0, 0, 0,      // below 2^-126: clamped
                                    1.0009765625f, 0.3f, -0.6f, 0.45f});  // just above 1: scale 2,
                                                                          // never clipped
  ASSERT_TRUE(IvfIndex::build(s.in).ok());
  auto idx = Open(s.in.dir);
  ASSERT_NE(idx, nullptr);
  const auto orig = ReadBytes(s.in.dir + "/orig.bin");
  const auto scale = ReadBytes(s.in.dir + "/origscale.bin");
  struct Want {
    uint32_t exponent;
    std::vector<uint8_t> codes;
  };
  const Want want[] = {{128, {255, 1, 128, 192}},
                       {130, {223, 128, 128, 104}},
                       {2, {128, 128, 128, 128}},
                       {126, {1, 128, 128, 128}},
                       {2, {129, 128, 128, 128}},  // 1e-40 / 2^-126 * 127 rounds to 1
                       {129, {192, 147, 90, 157}}};
  for (int i = 0; i < 6; ++i) {
    const uint32_t row = *idx->slot_of(RowId(i));
    EXPECT_EQ(load_le<uint32_t>(scale.data() + row * 8), 0u) << i;
    EXPECT_EQ(load_le<uint32_t>(scale.data() + row * 8 + 4), want[i].exponent) << i;
    EXPECT_EQ(std::vector<uint8_t>(orig.begin() + row * 4, orig.begin() + row * 4 + 4), want[i].codes) << i;
  }
  EXPECT_EQ(idx->rerank_scale(*idx->slot_of("r1")), 4.0f);
}

// The basis is only stored and handed back: lengths that do not fit dim
// must not make the segment unopenable.
TEST(SegmentBuild, PcaBasisOfAnyLengthIsStoredAsGivenAndTheSegmentOpens) {
  TempDir dir;
  SmallInput s(dir.file("seg"), 2, {1, 2, 3, 4});
  s.in.pca_mean = {0.5f, 1.5f, 2.5f};
  s.in.pca_comps = {1.0f};
  ASSERT_TRUE(IvfIndex::build(s.in).ok());
  auto idx = Open(s.in.dir);
  ASSERT_NE(idx, nullptr);
  EXPECT_EQ(idx->manifest().pca_mean, s.in.pca_mean);
  EXPECT_EQ(idx->manifest().pca_comps, s.in.pca_comps);
}

TEST(SegmentBuild, SparseTermsAreStoredTermByTermWithRowsAscending) {
  TempDir dir;
  SmallInput s(dir.file("seg"), 1, {1, 2, 3});
  s.in.sparse = {{{5, 1.0f}, {2, 0.5f}}, {}, {{5, 2.0f}, {5, 3.0f}}};
  ASSERT_TRUE(IvfIndex::build(s.in).ok());
  const auto bytes = ReadBytes(s.in.dir + "/sparse.bin");
  ASSERT_EQ(bytes.size(), 8u + 2 * 8 + 4 * 8);
  EXPECT_EQ(load_le<uint64_t>(bytes.data()), 2u);
  EXPECT_EQ(load_le<uint32_t>(bytes.data() + 8), 2u);
  EXPECT_EQ(load_le<uint32_t>(bytes.data() + 12), 1u);
  EXPECT_EQ(load_le<uint32_t>(bytes.data() + 16), 5u);
  EXPECT_EQ(load_le<uint32_t>(bytes.data() + 20), 3u);
  const std::pair<uint32_t, float> postings[] = {{0, 0.5f}, {0, 1.0f}, {2, 2.0f}, {2, 3.0f}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(load_le<uint32_t>(bytes.data() + 24 + 8 * i), postings[i].first);
    EXPECT_EQ(load_le<float>(bytes.data() + 28 + 8 * i), postings[i].second);
  }
}

TEST(SegmentBuild, MetadataIsStoredAsCompactTextWithSortedKeys) {
  TempDir dir;
  SmallInput s(dir.file("seg"), 1, {1, 2});
  s.in.metadata[0] = nlohmann::json::parse(R"({"b": 1, "a": {"d": [1, 2.5], "c": null}, "q": "say \"hi\""})");
  ASSERT_TRUE(IvfIndex::build(s.in).ok());
  auto idx = Open(s.in.dir);
  EXPECT_EQ(idx->row_meta_str(*idx->slot_of("r0")), R"({"a":{"c":null,"d":[1,2.5]},"b":1,"q":"say \"hi\""})");
  EXPECT_EQ(idx->row_meta_str(*idx->slot_of("r1")), "null");
}

TEST(SegmentBuild, RebuildReplacesTheSegmentAndRemovesWritePathFiles) {
  TempDir dir;
  SmallInput first(dir.file("seg"), 2, {1, 2, 3, 4, 5, 6});
  ASSERT_TRUE(IvfIndex::build(first.in).ok());
  for (const char* f : {"delta.bin", "deleted.bin", "wal.bin", "wal.corrupt.bin"}) WriteBytes(dir.file("seg/") + f, {1});
  SmallInput second(dir.file("seg"), 2, {9, 9});
  ASSERT_TRUE(IvfIndex::build(second.in).ok());
  for (const char* f : {"delta.bin", "deleted.bin", "wal.bin", "wal.corrupt.bin"}) {
    EXPECT_FALSE(platform::Exists(dir.file("seg/") + f)) << f;
  }
  EXPECT_EQ(Open(dir.file("seg"))->main_count(), 1u);
}

// Fails the rename of crcs.bin into place.
int FailCrcsRename(const char* op, const std::string& path) {
  return std::strcmp(op, "rename") == 0 && path.size() >= 8 && path.ends_with("crcs.bin") ? EIO : 0;
}

TEST(SegmentBuild, AnInterruptedBuildNeverLooksComplete) {
  TempDir dir;
  SmallInput s(dir.file("seg"), 2, {1, 2, 3, 4});
  ASSERT_TRUE(IvfIndex::build(s.in).ok());
  platform::SetFaultHook(&FailCrcsRename);
  Status st = IvfIndex::build(s.in);
  platform::SetFaultHook(nullptr);
  EXPECT_EQ(st.message(), "Input/output error (os error 5)");
  EXPECT_FALSE(platform::Exists(dir.file("seg/manifest.bin")));
  auto reopened = IvfIndex::open_with_skip(dir.file("seg"), std::nullopt);
  EXPECT_EQ(reopened.status().message(), "corrupt index: manifest.bin: missing");
}

}  // namespace
}  // namespace nimbrel
