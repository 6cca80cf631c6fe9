// IvfIndex::open_with_skip and the lookups: damaged files are refused or
// repaired, never a crash; ids and metadata round-trip.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>
#include <set>

#include "ivf_rabitq/index.h"
#include "ivf_rabitq/record.h"
#include "ivf_rabitq/segment_format.h"
#include "ivf_rabitq/storage.h"
#include "test_util.h"

namespace nimbrel {
namespace {

namespace fs = std::filesystem;

// One built segment shared by the tests of this file (copied before damage).
class SegmentOpen : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    seg_ = new RandomSegment(MakeRandomSegment(dir_->file("pristine"), {.n = 400, .dim = 12, .lists = 8}));
    ASSERT_TRUE(IvfIndex::build(seg_->input).ok());
  }
  static void TearDownTestSuite() {
    delete seg_;
    delete dir_;
  }
  static std::string Pristine() { return dir_->file("pristine"); }
  // A fresh copy of the pristine segment.
  static std::string Copy(const std::string& name) {
    const std::string to = dir_->file(name);
    fs::remove_all(to);
    fs::copy(Pristine(), to, fs::copy_options::recursive);
    return to;
  }
  static Result<std::shared_ptr<IvfIndex>> Open(const std::string& dir,
                                                const std::optional<std::set<std::string>>& skip = std::nullopt) {
    return IvfIndex::open_with_skip(dir, skip);
  }

  // Looks up every input id; every answer must be in bounds and consistent.
  // Returns how many ids were found at a row holding exactly that id.
  static size_t ExerciseLookups(const IvfIndex& idx) {
    size_t found = 0;
    for (const std::string& id : seg_->input.ids) {
      auto row = idx.slot_of(id);
      if (!row) continue;
      EXPECT_LT(*row, idx.main_count());
      EXPECT_EQ(idx.ext_of(*row), id);  // never a wrong row
      (void)idx.row_meta_str(*row);
      ++found;
    }
    for (uint32_t row = 0; row < idx.main_count() + 2; ++row) {
      (void)idx.ext_of(row);
      (void)idx.row_meta_str(row);
    }
    return found;
  }

  static TempDir* dir_;
  static RandomSegment* seg_;
};
TempDir* SegmentOpen::dir_ = nullptr;
RandomSegment* SegmentOpen::seg_ = nullptr;

TEST_F(SegmentOpen, EveryIdMetadataTextAndRowRoundTrip) {
  const uint64_t opens_before = OPEN_COUNT.load();
  auto idx = OpenOk(Pristine());
  ASSERT_NE(idx, nullptr);
  EXPECT_EQ(OPEN_COUNT.load(), opens_before + 1);
  EXPECT_EQ(idx->main_count(), 400u);
  EXPECT_EQ(idx->live_count(), 400u);
  EXPECT_EQ(idx->delta_count() + idx->tombstone_count(), 0u);
  std::set<uint32_t> rows;
  for (size_t i = 0; i < seg_->input.ids.size(); ++i) {
    const std::string& id = seg_->input.ids[i];
    auto row = idx->slot_of(id);
    ASSERT_TRUE(row.has_value()) << id;
    rows.insert(*row);
    EXPECT_EQ(idx->ext_of(*row), id);
    // Compact text with sorted keys, escapes kept; null metadata is "null".
    EXPECT_EQ(idx->row_meta_str(*row), seg_->input.metadata[i].dump());
  }
  EXPECT_EQ(rows.size(), 400u);
  EXPECT_FALSE(idx->slot_of("id-400").has_value());
  EXPECT_FALSE(idx->slot_of("").has_value());
  EXPECT_EQ(idx->ext_of(400), "");
  EXPECT_EQ(idx->row_meta_str(400), "null");
  std::shared_lock<std::shared_mutex> none;  // the caller's locks are not needed without a delta
  auto many = idx->slots_of_locked({seg_->input.ids[3], "nope", seg_->input.ids[3]});
  ASSERT_EQ(many.size(), 3u);
  EXPECT_EQ(many[0], idx->slot_of(seg_->input.ids[3]));
  EXPECT_FALSE(many[1].has_value());
  EXPECT_EQ(many[2], many[0]);
}

// Each file damaged each way: the open either refuses with a "corrupt
// index: " error or succeeds (repairs, legacy fallbacks), and then every
// lookup stays in bounds.
TEST_F(SegmentOpen, EveryDamagedFileIsRefusedOrRepairedNeverACrash) {
  const std::vector<std::string> names = ListFiles(Pristine());
  ASSERT_GT(names.size(), 12u);
  enum Damage { kTruncate, kFlip, kRemove };
  for (const std::string& name : names) {
    for (Damage d : {kTruncate, kFlip, kRemove}) {
      const std::string dir = Copy("damaged");
      const std::string path = dir + "/" + name;
      const uint64_t size = FileSizeOf(path);
      if (d != kRemove && size == 0) continue;
      if (d == kTruncate) TruncateFile(path, size / 2);
      if (d == kFlip) FlipBit(path, size / 2, 3);
      if (d == kRemove) RemoveFile(path);
      const std::string what = name + " damage " + std::to_string(d);

      auto idx = Open(dir);
      // Files whose damage must be survivable: the derivable id table, the
      // legacy fallback of a segment without checksums and the generation
      // counter, which open does not read. format.bin is not among them:
      // the manifest records the format it must say.
      const bool survivable = name == "idhash.bin" || name == "generation" ||
                              (d == kRemove && name == "crcs.bin");
      if (!survivable) {
        ASSERT_FALSE(idx.ok()) << what;
        EXPECT_EQ(idx.status().code(), Code::kCorrupt) << what;
        EXPECT_EQ(idx.status().message().rfind("corrupt index: ", 0), 0u) << what << ": " << idx.status().message();
        continue;
      }
      ASSERT_TRUE(idx.ok()) << what << ": " << idx.status().message();
      const size_t found = ExerciseLookups(**idx);
      if (name == "idhash.bin") {
        EXPECT_EQ(found, 400u) << what;
        EXPECT_EQ(ReadBytes(path), ReadBytes(Pristine() + "/idhash.bin")) << what;  // rewritten
      }
    }
  }
}

TEST_F(SegmentOpen, ZeroVerifyBudgetSkipsChecksumsYetLookupsStayInBounds) {
  ScopedEnv env("NIMBREL_VERIFY_MAX_BYTES", "0");
  const std::string dir = Copy("unverified");
  // Damage the middle offsets (the first and last are checked anyway), the
  // id table and the codes; only the id table, checked whatever the budget,
  // is noticed (and rebuilt) without CRC checks.
  for (const char* name : {"ids_off.bin", "meta_off.bin"}) {
    std::vector<uint8_t> bytes = ReadBytes(dir + "/" + name);
    for (uint64_t row = 100; row < 110; ++row) store_le<uint64_t>(bytes.data() + row * 8, 0xFFFFFFFFFFull + row);
    WriteBytes(dir + "/" + name, bytes);
  }
  FlipBit(dir + "/idhash.bin", 16 * 50 + 9);  // a row number
  FlipBit(dir + "/idhash.bin", 16 * 70 + 2);  // a hash
  FlipBit(dir + "/codes.bin", 100);
  auto idx = Open(dir);
  ASSERT_TRUE(idx.ok()) << idx.status().message();
  const size_t found = ExerciseLookups(**idx);
  EXPECT_LT(found, 400u);
  EXPECT_GT(found, 370u);
  EXPECT_EQ((*idx)->ext_of(100), "");
  EXPECT_EQ((*idx)->row_meta_str(100), "null");
  std::vector<float> q(12, 0.5f);
  EXPECT_EQ((*idx)->search_core(q.data(), 5, 8, 50, nullptr, false).size(), 5u);

  // With the default budget the same directory is refused.
  ScopedEnv restored("NIMBREL_VERIFY_MAX_BYTES", std::nullopt);
  EXPECT_EQ(Open(dir).status().code(), Code::kCorrupt);
}

// Logged deletes and upserts take a miss in the id table as "no such row":
// a damaged table is rebuilt whatever the verification budget, and in a
// segment without crcs.bin, whose table no CRC vouches for.
TEST_F(SegmentOpen, DamagedIdTableIsRebuiltWithoutBudgetOrRecordedChecksum) {
  for (const bool legacy : {false, true}) {
    ScopedEnv env("NIMBREL_VERIFY_MAX_BYTES", "0");
    const std::string dir = Copy("idhash-unverified");
    if (legacy) RemoveFile(dir + "/crcs.bin");
    FlipBit(dir + "/idhash.bin", 16 * 50 + 9);  // a row number
    FlipBit(dir + "/idhash.bin", 16 * 70 + 2);  // a hash
    auto idx = Open(dir);
    ASSERT_TRUE(idx.ok()) << idx.status().message();
    EXPECT_EQ(ExerciseLookups(**idx), 400u) << legacy;
    EXPECT_TRUE(ReadBytes(dir + "/idhash.bin") == ReadBytes(Pristine() + "/idhash.bin")) << legacy;  // rewritten
  }
}

// Without CRC checks, damage anywhere in a data file reaches the readers:
// open's own checks and the bounds checks on every read must hold.
TEST_F(SegmentOpen, UncheckedDamageAnywhereNeverReadsOutOfBounds) {
  ScopedEnv env("NIMBREL_VERIFY_MAX_BYTES", "0");
  std::mt19937_64 rng(7);
  for (const std::string& name : ListFiles(Pristine())) {
    const uint64_t size = FileSizeOf(Pristine() + "/" + name);
    if (size == 0) continue;
    for (int trial = 0; trial < 6; ++trial) {
      const std::string dir = Copy("unchecked");
      // The first bytes hold the counts and offsets that matter most.
      const uint64_t at = trial < 3 ? rng() % std::min<uint64_t>(size, 16) : rng() % size;
      FlipBit(dir + "/" + name, at, static_cast<int>(rng() % 8));
      auto idx = Open(dir);
      if (!idx.ok()) {
        EXPECT_EQ(idx.status().code(), Code::kCorrupt) << name << " @" << at << ": " << idx.status().message();
        continue;
      }
      ExerciseLookups(**idx);
      std::vector<float> q(12, 0.25f);
      (void)(*idx)->search_core(q.data(), 10, 8, 100, nullptr, true);
    }
  }
}

TEST_F(SegmentOpen, SpecificDamageNamesTheFileAndTheProblem) {
  using Damage = std::function<void(const std::string&)>;
  const auto version = [](uint32_t v) -> Damage {
    return [v](const std::string& d) {
      record::Writer w;
      w.u32(v);
      WriteBytes(d + "/format.bin", wrap_with_header(segment::kFormatMagic, w.bytes()));
    };
  };
  const std::string unsupported = "corrupt index: format.bin: unsupported format version ";
  const std::pair<Damage, std::string> cases[] = {
      {[](const std::string& d) { RemoveFile(d + "/manifest.bin"); }, "corrupt index: manifest.bin: missing"},
      {[](const std::string& d) { fs::remove_all(d); }, "corrupt index: manifest.bin: missing"},
      {[](const std::string& d) { TruncateFile(d + "/orig.bin", 100); },
       "corrupt index: orig.bin: size 100 (expected 4800)"},
      {[](const std::string& d) { FlipBit(d + "/str_0.bin", 7); }, "corrupt index: str_0.bin: checksum mismatch"},
      {[](const std::string& d) { RemoveFile(d + "/sparse.bin"); }, "corrupt index: sparse.bin: missing"},
      {version(0), unsupported + "0 (this build reads 1 to 4)"},
      {version(5), unsupported + "5 (this build reads 1 to 4)"},
      {version(0xFFFFFFFFu), unsupported + "4294967295 (this build reads 1 to 4)"},
      // An OS error that is not damage keeps its kind and names the file.
      {[](const std::string& d) { RemoveFile(d + "/manifest.bin"); fs::create_directory(d + "/manifest.bin"); },
       "manifest.bin: Is a directory (os error 21)"},
  };
  const uint64_t opens_before = OPEN_COUNT.load();
  for (const auto& [damage, message] : cases) {
    const std::string dir = Copy("named");
    damage(dir);
    auto idx = Open(dir);
    EXPECT_EQ(idx.status().message(), message);
    EXPECT_EQ(idx.status().code(), message.starts_with("corrupt") ? Code::kCorrupt : Code::kIoError) << message;
  }
  EXPECT_EQ(OPEN_COUNT.load(), opens_before + std::size(cases));  // failed opens count too
}

// An empty segment has no data file whose size bounds dim: the manifest's
// own limit must stop a huge one before the rotation is set up for it.
TEST_F(SegmentOpen, EmptySegmentClaimingAHugeDimIsRefusedPromptly) {
  const std::string dir = dir_->file("huge-dim");
  BuildInput in;
  in.dir = dir;
  in.dim = 4;
  ASSERT_TRUE(IvfIndex::build(in).ok());
  Manifest m;
  m.dim = 1ull << 63;
  m.list_offsets = {0};
  WriteBytes(dir + "/manifest.bin", wrap_with_header(segment::kManifestMagic, encode_manifest(m)));
  EXPECT_EQ(Open(dir).status().message(), "corrupt index: manifest.bin: dim 9223372036854775808 exceeds 2147483647");
}

// The manifest records the row format (rotation and code layout), so a
// lost or replaced format.bin cannot make the rows be read with another
// rotation (a format-3 segment read as format 1 answers almost at random),
// nor blocked codes be read as rows or rows as blocks. Format 3 stands
// beside row format 3 (rows) or 4 (blocks); format 4 beside blocks only,
// as the builds that numbered blocks 4 wrote it. Only a manifest from
// before the record may lack format.bin: format 1 then.
TEST_F(SegmentOpen, FormatBinMustAgreeWithTheRowFormatTheManifestRecords) {
  auto write_format = [](const std::string& dir, uint32_t v) {
    record::Writer w;
    w.u32(v);
    WriteBytes(dir + "/format.bin", wrap_with_header(segment::kFormatMagic, w.bytes()));
  };
  auto rewrite_manifest = [](const std::string& dir, uint32_t recorded) {
    std::vector<uint8_t> body = *unwrap_header(segment::kManifestMagic, ReadBytes(dir + "/manifest.bin"), "manifest.bin");
    Manifest m = *decode_manifest(body.data(), body.size());
    m.row_format = recorded;
    WriteBytes(dir + "/manifest.bin", wrap_with_header(segment::kManifestMagic, encode_manifest(m)));
  };
  auto opened = [](const std::string& dir) {
    auto idx = OpenOk(dir);
    return std::pair(idx->format_version(), idx->manifest().row_format);
  };

  std::string dir = Copy("format");
  EXPECT_EQ(opened(dir), std::pair(3u, 4u));
  RemoveFile(dir + "/format.bin");
  EXPECT_EQ(Open(dir).status().message(), "corrupt index: format.bin: missing (manifest.bin records row format 4)");
  write_format(dir, 2);
  EXPECT_EQ(Open(dir).status().message(),
            "corrupt index: format.bin: version 2 contradicts row format 4 recorded in manifest.bin");
  write_format(dir, 4);
  EXPECT_EQ(opened(dir), std::pair(4u, 4u));
  // Rows one after another are never taken for blocks.
  rewrite_manifest(dir, 3);
  EXPECT_EQ(Open(dir).status().message(),
            "corrupt index: format.bin: version 4 contradicts row format 3 recorded in manifest.bin");

  for (uint32_t unknown : {5u, 7u, 0xFFFFFFFFu}) {
    rewrite_manifest(dir, unknown);
    EXPECT_EQ(Open(dir).status().message(), "corrupt index: manifest.bin: unsupported row format " +
                                                std::to_string(unknown) + " (this build reads 1 to 4)");
  }

  // A manifest written before the record: format.bin decides, and its
  // absence means the format that predates it.
  dir = Copy("legacy-format");
  rewrite_manifest(dir, 0);
  EXPECT_EQ(OpenOk(dir)->format_version(), 3u);
  write_format(dir, 2);
  EXPECT_EQ(OpenOk(dir)->format_version(), 2u);
  RemoveFile(dir + "/format.bin");
  EXPECT_EQ(OpenOk(dir)->format_version(), 1u);
}

// Opening with the caller's dimension refuses another one before anything
// is sized by it: a crafted manifest (valid checksum, no rows, dim near the
// limit) once cost gigabytes and tens of seconds before the comparison.
TEST_F(SegmentOpen, NothingIsSizedByTheStoredDimBeforeItIsCheckedOrBoundedByTheFiles) {
  const std::string dir = Copy("dims");
  EXPECT_EQ(OpenOk(dir)->dim(), 12u);
  ASSERT_TRUE(IvfIndex::open_with_skip(dir, std::nullopt, 12).ok());
  auto wrong = IvfIndex::open_with_skip(dir, std::nullopt, 8);
  EXPECT_EQ(wrong.status().code(), Code::kInvalidArgument);
  EXPECT_EQ(wrong.status().message(),
            "dim mismatch: opened with dim=8 but the index at \"" + dir + "\" was built with dim=12");

  // An empty segment has nothing to rotate, so nothing is sized by its
  // dimension however large; the rotation would need 24 GiB here.
  const std::string empty = dir_->file("empty-huge");
  BuildInput in;
  in.dir = empty;
  in.dim = kMaxDim;
  ASSERT_TRUE(IvfIndex::build(in).ok());
  EXPECT_EQ(IvfIndex::open_with_skip(empty, std::nullopt, 8).status().code(), Code::kInvalidArgument);
  auto idx = IvfIndex::open_with_skip(empty, std::nullopt, kMaxDim);
  ASSERT_TRUE(idx.ok()) << idx.status().message();
  EXPECT_EQ((*idx)->dim(), kMaxDim);

  // The dense rotation of the older formats is quadratic in memory and
  // cubic in time: past its limit such a segment is refused, not built.
  const std::string dense = dir_->file("dense-huge");
  Manifest m;
  m.dim = 5000;
  m.n_lists = 1;
  m.centroids.assign(5000, 0.0f);
  m.list_offsets = {0, 0};
  m.row_format = 1;
  fs::create_directories(dense);
  record::Writer w;
  w.u32(1);
  WriteBytes(dense + "/format.bin", wrap_with_header(segment::kFormatMagic, w.bytes()));
  WriteBytes(dense + "/manifest.bin", wrap_with_header(segment::kManifestMagic, encode_manifest(m)));
  EXPECT_EQ(Open(dense).status().message(),
            "unsupported segment: format 1 with dim 5000 needs a dense rotation above the 4096 dimensions this "
            "build supports");
}

TEST_F(SegmentOpen, SkippedFieldsLeaveTheSchemaAndTheOthersKeepTheirColumns) {
  // "tag" is the first string field: skipping it shifts the column numbers
  // of the string fields after it.
  auto idx = *Open(Pristine(), std::set<std::string>{"tag"});
  auto flag = idx->compile_filter_cached(R"({"flag": true})");
  ASSERT_TRUE(flag.ok()) << flag.status().message();
  auto num = idx->compile_filter_cached(R"({"num": 4})");
  ASSERT_TRUE(num.ok()) << num.status().message();
  EXPECT_FALSE(idx->compile_filter_cached(R"({"tag": "x"})").ok());
  for (size_t i = 0; i < seg_->input.ids.size(); ++i) {
    const uint32_t row = *idx->slot_of(seg_->input.ids[i]);
    const nlohmann::json& m = seg_->input.metadata[i];
    EXPECT_EQ(idx->passes_main(**flag, row), m.is_object() && m["flag"] == true) << i;
    EXPECT_EQ(idx->passes_main(**num, row), m.is_object() && m["num"] == 4) << i;
  }
}

TEST_F(SegmentOpen, WithoutMetaFilesMetadataIsRebuiltFromTheTypedColumns) {
  const std::string dir = Copy("legacy");
  for (const char* f : {"meta.bin", "meta_off.bin", "crcs.bin"}) RemoveFile(dir + "/" + f);
  auto idx = *Open(dir);
  for (size_t i = 0; i < seg_->input.ids.size(); ++i) {
    const uint32_t row = *idx->slot_of(seg_->input.ids[i]);
    const nlohmann::json& m = seg_->input.metadata[i];
    // Typed columns keep every top-level field; numbers come back as
    // doubles, which compare equal by value.
    const nlohmann::json expected = m.is_object() ? m : nlohmann::json::object();
    EXPECT_EQ(nlohmann::json::parse(idx->row_meta_str(row)), expected) << i;
  }
  const uint32_t row0 = *idx->slot_of(seg_->input.ids[0]);
  EXPECT_EQ(idx->row_meta_str(row0).substr(0, 10), R"({"flag":tr)");
}

TEST_F(SegmentOpen, SparseSearchReadsAnOlderSegmentsManifestPostingsLikeSparseBin) {
  // Segments written before sparse.bin (and before crcs.bin) keep their
  // postings in the manifest.
  const std::string dir = Copy("manifest-postings");
  const std::vector<uint8_t> sparse = ReadBytes(dir + "/sparse.bin");
  const uint64_t terms = load_le<uint64_t>(sparse.data());
  std::vector<uint8_t> manifest = ReadBytes(dir + "/manifest.bin");
  Result<Manifest> m = decode_manifest(manifest.data() + 8, manifest.size() - 8);
  ASSERT_TRUE(m.ok());
  const uint8_t* posting = sparse.data() + 8 + 8 * terms;
  for (uint64_t i = 0; i < terms; ++i) {
    const uint32_t term = load_le<uint32_t>(sparse.data() + 8 + 8 * i);
    for (uint32_t j = load_le<uint32_t>(sparse.data() + 12 + 8 * i); j > 0; --j, posting += 8) {
      m->sparse_postings[term].emplace_back(load_le<uint32_t>(posting), load_le<float>(posting + 4));
    }
  }
  WriteBytes(dir + "/manifest.bin", wrap_with_header(segment::kManifestMagic, encode_manifest(*m)));
  RemoveFile(dir + "/sparse.bin");
  RemoveFile(dir + "/crcs.bin");
  auto older = OpenOk(dir), pristine = OpenOk(Pristine());
  ASSERT_TRUE(older && pristine);
  ASSERT_GT(m->sparse_postings.size(), 3u);
  for (const auto& [term, postings] : m->sparse_postings) {
    const SparsePairs q = {{term, 1.5f}, {term + 1, -0.5f}};
    EXPECT_EQ(older->sparse_rank(q, 7, nullptr), pristine->sparse_rank(q, 7, nullptr)) << term;
    EXPECT_FALSE(older->sparse_rank(q, 7, nullptr).empty());
  }
}

// A manifest may carry trailing bytes (fields of a later version) up to its
// record's size again plus the room every header file has; a longer file
// is refused by its size, and ordinary damage still by its checksum.
TEST(ManifestFile, TrailingBytesAreBoundedByTheRecord) {
  Manifest m;
  m.dim = 4;
  m.list_offsets = {0};
  std::vector<uint8_t> record = encode_manifest(m);
  record.insert(record.end(), {4, 0, 0, 0});  // the u32 appended last, which a reader takes when present
  const auto file_with = [&](uint64_t trailing) {
    std::vector<uint8_t> body = record;
    body.resize(record.size() + trailing, 0xAB);
    return wrap_with_header(segment::kManifestMagic, body);
  };
  const uint64_t room = record.size() + kHeaderRoomBytes;
  for (const uint64_t trailing : {uint64_t{0}, uint64_t{3}, room}) {
    const std::vector<uint8_t> file = file_with(trailing);
    Result<Manifest> got = decode_manifest_file(file.data(), file.size());
    ASSERT_TRUE(got.ok()) << trailing << ": " << got.status().message();
    EXPECT_EQ(got->dim, 4u);
  }
  const std::vector<uint8_t> longer = file_with(room + 1);
  EXPECT_EQ(decode_manifest_file(longer.data(), longer.size()).status().message(),
            "corrupt index: manifest.bin: size " + std::to_string(longer.size()) + " (at most " +
                std::to_string(longer.size() - 1) + ")");
  std::vector<uint8_t> damaged = file_with(0);
  damaged[8] ^= 0x40;  // dim 68: decodes, and the CRC catches it
  EXPECT_EQ(decode_manifest_file(damaged.data(), damaged.size()).status().message(),
            "corrupt index: manifest.bin: checksum mismatch");
  damaged.resize(20);  // cut inside the record: does not decode
  EXPECT_EQ(decode_manifest_file(damaged.data(), damaged.size()).status().message(),
            "corrupt index: manifest.bin: checksum mismatch");
}

TEST(MetadataResultCost, CountsStructureOutsideStringsAndLengthTimesFour) {
  EXPECT_EQ(IvfIndex::metadata_result_cost(""), 0u);
  EXPECT_EQ(IvfIndex::metadata_result_cost("null"), 16u);
  EXPECT_EQ(IvfIndex::metadata_result_cost(R"({"a":1})"), 256u + 128u);
  EXPECT_EQ(IvfIndex::metadata_result_cost(R"({"a":1,"b":[2,3]})"), 2 * 256u + 2 * 288u + 2 * 128u);
  // Separators inside strings do not count, escaped quotes do not end them.
  EXPECT_EQ(IvfIndex::metadata_result_cost(R"(["a,b:c{",1])"), 288u + 128u);
  EXPECT_EQ(IvfIndex::metadata_result_cost(R"({"k":"x\",y:z\\"})"), 256u + 128u);
  // Long flat texts cost four units per byte.
  const std::string text = "\"" + std::string(1000, 'x') + "\"";
  EXPECT_EQ(IvfIndex::metadata_result_cost(text), 4u * 1002);
}

}  // namespace
}  // namespace nimbrel
