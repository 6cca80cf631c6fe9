// IvfIndex::build: refusals, what each file holds, row order, repeated
// ids, the rerank copies, and reproducibility.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>

#include "ivf_rabitq/index.h"
#include "ivf_rabitq/kmeans.h"
#include "ivf_rabitq/record.h"
#include "ivf_rabitq/segment_format.h"
#include "ivf_rabitq/storage.h"
#include "platform/fs.h"
#include "test_util.h"

namespace nimbrel {
namespace {

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
  EXPECT_EQ(refused([](BuildInput& in) { in.metadata.push_back(nullptr); }), "build: metadata.len()=3 (expected 2)");
  EXPECT_EQ(refused([](BuildInput& in) { in.sparse.resize(1); }), "build: sparse.len()=1 (expected 2 or 0)");
  EXPECT_EQ(refused([](BuildInput& in) { in.n_bits = 0; }), "build: n_bits must be between 1 and 8, got 0");
  EXPECT_EQ(refused([](BuildInput& in) { in.n_bits = 9; }), "build: n_bits must be between 1 and 8, got 9");
  EXPECT_EQ(refused([](BuildInput& in) {
              in.dim = 1ull << 63;  // with no rows, so that no size check comes first
              in.n = 0;
              in.data_len = 0;
              in.ids.clear();
              in.metadata.clear();
            }),
            "build: dim must be at most 2147483647, got 9223372036854775808");
  EXPECT_EQ(refused([](BuildInput& in) { in.n = 4294967295ull; in.data_len.reset(); }),
            "slot space exhausted: 0 existing + 4294967295 new rows exceed the u32 slot capacity");
  EXPECT_FALSE(platform::Exists(dir.file("seg")));  // nothing written
}

TEST(SegmentBuild, NoRowsGivesAValidEmptySegmentThatAnswersNothing) {
  TempDir dir;
  SmallInput s(dir.file("a/b/seg"), 4, {});
  auto idx = BuildAndOpen(s.in);
  ASSERT_NE(idx, nullptr);
  EXPECT_EQ(idx->main_count(), 0u);
  EXPECT_EQ(idx->manifest().n_lists, 0u);
  EXPECT_EQ(idx->live_count(), 0u);
  EXPECT_FALSE(idx->slot_of("r0").has_value());
  EXPECT_EQ(FileSizeOf(s.in.dir + "/ids_off.bin"), 8u);
  EXPECT_EQ(FileSizeOf(s.in.dir + "/sparse.bin"), 8u);
  EXPECT_EQ(FileSizeOf(s.in.dir + "/codes.bin"), 0u);
  const float q[4] = {1, 2, 3, 4};
  EXPECT_TRUE(idx->search_core(q, 10, 4, 100, nullptr, true).empty());
  EXPECT_TRUE(idx->search_bruteforce(q, 10, nullptr).empty());
}

TEST(SegmentBuild, RepeatedIdKeepsOnlyItsLastRow) {
  TempDir dir;
  SmallInput s(dir.file("seg"), 2, {0, 0, 1, 1, 2, 2, 3, 3, 4, 4});
  s.in.ids = {"a", "b", "a", "c", "b"};
  for (int i = 0; i < 5; ++i) s.in.metadata[i] = {{"i", i}};
  auto idx = BuildAndOpen(s.in);
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

  // Many rows, ids repeated across the parallel passes' block boundaries.
  RandomSegment r = MakeRandomSegment(dir.file("many"), {.n = 20000, .dim = 4, .lists = 8, .sparse = false});
  std::map<std::string, int> last;
  for (int i = 0; i < 20000; ++i) {
    r.input.ids[i] = std::to_string((i * 7919) % 4099) + "k";
    r.input.metadata[i] = {{"i", i}};
    last[r.input.ids[i]] = i;
  }
  auto many = BuildAndOpen(r.input);
  ASSERT_NE(many, nullptr);
  EXPECT_EQ(many->main_count(), last.size());
  for (const auto& [id, i] : last) {
    auto row = many->slot_of(id);
    ASSERT_TRUE(row.has_value()) << id;
    EXPECT_EQ(many->row_meta_str(*row), "{\"i\":" + std::to_string(i) + "}") << id;
  }
}

TEST(SegmentBuild, EveryFileHasTheSizeTheManifestImplies) {
  TempDir dir;
  RandomSegment s = MakeRandomSegment(dir.file("seg"), {.n = 300, .dim = 8, .lists = 6, .bits = 3});
  auto idx = BuildAndOpen(s.input);
  ASSERT_NE(idx, nullptr);
  const uint64_t n = 300;
  auto size = [&](const std::string& name) { return FileSizeOf(s.input.dir + "/" + name); };
  const std::pair<const char*, uint64_t> sizes[] = {
      {"codes.bin", n * (64 / 8) * 3}, {"metas.bin", n * 16},          {"orig.bin", n * 8},
      {"origscale.bin", n * 8},        {"ids_off.bin", (n + 1) * 8},  {"meta_off.bin", (n + 1) * 8},
      {"idhash.bin", n * 16},          {"generation", 8}};
  for (const auto& [name, bytes] : sizes) EXPECT_EQ(size(name), bytes) << name;
  EXPECT_EQ(storage::read_generation(s.input.dir), 0u);
  size_t num = 0, str = 0;
  for (const FieldSchema& f : idx->manifest().fields) {
    const std::string file = f.numeric ? "num_" + std::to_string(num++) : "str_" + std::to_string(str++);
    EXPECT_EQ(size(file + ".bin"), n * (f.numeric ? 8 : 4)) << file;
  }
  EXPECT_GT(num, 0u);
  EXPECT_GT(str, 0u);

  // (Which files crcs.bin covers is held by the damage tests of open.)
  for (const std::string& name : ListFiles(s.input.dir)) EXPECT_EQ(name.find(".writing.tmp"), std::string::npos);
  EXPECT_EQ(idx->format_version(), 3u);
  EXPECT_EQ(idx->manifest().row_format, segment::kBlockedRowFormat);
}

TEST(SegmentBuild, RowsAreStoredListByListInInputOrderWithinAList) {
  TempDir dir;
  RandomSegment s = MakeRandomSegment(dir.file("seg"), {.n = 500, .dim = 6, .lists = 9});
  auto idx = BuildAndOpen(s.input);
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
    EXPECT_EQ(BuildAndOpen(s.in)->manifest().quant_scale, expected) << given;
  }
  SmallInput zeros(dir.file("zeros"), 2, {0, 0, 0, 0});
  EXPECT_EQ(BuildAndOpen(zeros.in)->manifest().quant_scale, 1e-6f);
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
  auto idx = BuildAndOpen(s.in);
  ASSERT_NE(idx, nullptr);
  const auto orig = ReadBytes(s.in.dir + "/orig.bin");
  const auto scale = ReadBytes(s.in.dir + "/origscale.bin");
  // {biased exponent of the scale, codes}; 1e-40 / 2^-126 * 127 rounds to 1.
  const std::pair<uint32_t, std::vector<uint8_t>> want[] = {
      {128, {255, 1, 128, 192}}, {130, {223, 128, 128, 104}}, {2, {128, 128, 128, 128}},
      {126, {1, 128, 128, 128}}, {2, {129, 128, 128, 128}},   {129, {192, 147, 90, 157}}};
  for (int i = 0; i < 6; ++i) {
    const uint32_t row = *idx->slot_of(RowId(i));
    EXPECT_EQ(load_le<uint32_t>(scale.data() + row * 8), 0u) << i;
    EXPECT_EQ(load_le<uint32_t>(scale.data() + row * 8 + 4), want[i].first) << i;
    EXPECT_EQ(std::vector<uint8_t>(orig.begin() + row * 4, orig.begin() + row * 4 + 4), want[i].second) << i;
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
  auto idx = BuildAndOpen(s.in);
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
  EXPECT_EQ(load_le<uint64_t>(bytes.data()), 2u);  // terms, then (term, postings) pairs
  const uint32_t terms[] = {2, 1, 5, 3};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(load_le<uint32_t>(bytes.data() + 8 + 4 * i), terms[i]) << i;
  const std::pair<uint32_t, float> postings[] = {{0, 0.5f}, {0, 1.0f}, {2, 2.0f}, {2, 3.0f}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(load_le<uint32_t>(bytes.data() + 24 + 8 * i), postings[i].first);
    EXPECT_EQ(load_le<float>(bytes.data() + 28 + 8 * i), postings[i].second);
  }
}

TEST(SegmentBuild, RebuildReplacesTheSegmentAndRemovesWritePathFiles) {
  TempDir dir;
  SmallInput first(dir.file("seg"), 2, {1, 2, 3, 4, 5, 6});
  ASSERT_TRUE(IvfIndex::build(first.in).ok());
  const char* write_path_files[] = {"delta.bin", "deleted.bin", "wal.bin", "wal.corrupt.bin"};
  for (const char* f : write_path_files) WriteBytes(dir.file("seg/") + f, {1});
  SmallInput second(dir.file("seg"), 2, {9, 9});
  ASSERT_TRUE(IvfIndex::build(second.in).ok());
  for (const char* f : write_path_files) EXPECT_FALSE(platform::Exists(dir.file("seg/") + f)) << f;
  EXPECT_EQ(OpenOk(dir.file("seg"))->main_count(), 1u);
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
