// Storage primitives: CRC-32, checksummed headers, the generation file,
// environment settings, the record encoding and the manifest's checks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>

#include "ivf_rabitq/manifest.h"
#include "ivf_rabitq/record.h"
#include "ivf_rabitq/storage.h"
#include "test_util.h"

namespace nimbrel {
namespace {

TEST(Crc32, MatchesTheIeeeCheckValueInMemoryIncrementallyAndThroughAFile) {
  const char* text = "123456789";
  EXPECT_EQ(crc32_ieee(text, 9), 0xcbf43926u);
  EXPECT_EQ(crc32_ieee(text + 4, 5, crc32_ieee(text, 4)), 0xcbf43926u);
  EXPECT_EQ(crc32_ieee(text, 0), 0u);

  TempDir dir;
  std::vector<uint8_t> bytes(200000);  // several passes of the 64 KiB buffer
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i ^ (i >> 8));
  WriteBytes(dir.file("f"), bytes);
  std::vector<uint8_t> buffer;
  auto crc = storage::crc32_file_with_buffer(dir.file("f"), buffer);
  ASSERT_TRUE(crc.ok());
  EXPECT_EQ(*crc, crc32_ieee(bytes.data(), bytes.size()));
  EXPECT_EQ(buffer.size(), 64u * 1024);
  auto missing = storage::crc32_file_with_buffer(dir.file("nope"), buffer);
  EXPECT_EQ(missing.status().message(), "No such file or directory (os error 2)");
}

TEST(Header, RoundTripsAndRefusesDamageNamingTheFile) {
  const char magic[4] = {'T', 'E', 'S', 'T'};
  const std::vector<uint8_t> body = {1, 2, 3, 4, 5};
  std::vector<uint8_t> file = wrap_with_header(magic, body);
  ASSERT_EQ(file.size(), 13u);
  EXPECT_EQ(load_le<uint32_t>(file.data() + 4), crc32_ieee(body.data(), body.size()));
  auto ok = unwrap_header(magic, file, "x.bin");
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(*ok, body);

  std::vector<uint8_t> flipped = file;
  flipped[10] ^= 0x10;
  EXPECT_EQ(unwrap_header(magic, flipped, "x.bin").status().message(), "corrupt index: x.bin: checksum mismatch");
  std::vector<uint8_t> other = file;
  other[0] = 'Z';
  EXPECT_EQ(unwrap_header(magic, other, "x.bin").status().message(), "corrupt index: x.bin: bad magic");
  auto short_file = unwrap_header(magic, std::vector<uint8_t>(file.begin(), file.begin() + 7), "x.bin");
  EXPECT_EQ(short_file.status().code(), Code::kCorrupt);
  EXPECT_EQ(short_file.status().message().rfind("corrupt index: x.bin: ", 0), 0u);
}

TEST(Generation, ReadsZeroWhenMissingOrShortAndRoundTrips) {
  TempDir dir;
  EXPECT_EQ(storage::read_generation(dir.path()), 0u);
  WriteBytes(dir.file("generation"), {1, 2, 3});
  EXPECT_EQ(storage::read_generation(dir.path()), 0u);
  ASSERT_TRUE(storage::write_generation(dir.path(), 0x0102030405060708ull).ok());
  EXPECT_EQ(ReadBytes(dir.file("generation")), (std::vector<uint8_t>{8, 7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(storage::read_generation(dir.path()), 0x0102030405060708ull);
  EXPECT_EQ(storage::read_generation(dir.file("no-such-dir")), 0u);
  // Only the first 8 bytes are read: every query's staleness check reads
  // this file, and a damaged endless one must not be read to its end.
  WriteBytes(dir.file("generation"), {5, 0, 0, 0, 0, 0, 0, 0, 9, 9, 9});
  EXPECT_EQ(storage::read_generation(dir.path()), 5u);
  RemoveFile(dir.file("generation"));
  std::filesystem::create_symlink("/dev/zero", dir.file("generation"));
  EXPECT_EQ(storage::read_generation(dir.path()), 0u);
}

// ---- settings ------------------------------------------------------------------

TEST(Settings, NumbersAcceptSurroundingSpaceAndALeadingPlusOnly) {
  uint64_t v = 0;
  EXPECT_TRUE(parse_u64_setting(" +42\t", &v));
  EXPECT_EQ(v, 42u);
  EXPECT_TRUE(parse_u64_setting("18446744073709551615", &v));
  EXPECT_EQ(v, UINT64_MAX);
  for (const char* bad : {"", "  ", "+", "-1", "4 2", "1e3", "0x10", "18446744073709551616", "++1"}) {
    EXPECT_FALSE(parse_u64_setting(bad, &v)) << bad;
  }
}

TEST(Settings, SwitchIsOffOnlyForTheListedWordsInAnyCase) {
  for (const char* off : {"", "  ", "0", "no", "OFF", " False ", "nO"}) EXPECT_FALSE(parse_switch_setting(off)) << off;
  for (const char* on : {"1", "yes", "on", "true", "2", "enabled", "x"}) EXPECT_TRUE(parse_switch_setting(on)) << on;
}

TEST(Settings, VerifyBudgetComesFromTheEnvironmentWithADefault) {
  const std::pair<std::optional<std::string>, uint64_t> cases[] = {
      {std::nullopt, 67108864u}, {"lots", 67108864u}, {" +0 ", 0u}, {"1000", 1000u}};
  for (const auto& [value, want] : cases) {
    ScopedEnv env("NIMBREL_VERIFY_MAX_BYTES", value);
    EXPECT_EQ(verify_max_bytes(), want) << value.value_or("unset");
    setenv("NIMBREL_VERIFY_MAX_BYTES", "5", 1);
    EXPECT_EQ(verify_max_bytes(), want);  // read once, then cached
  }
}

TEST(Settings, ResidencySwitchIsDecidedOnceUnlessSetExplicitly) {
  {
    ScopedEnv env("NIMBREL_MLOCK", "yes");
    EXPECT_TRUE(mlock_enabled());
    setenv("NIMBREL_MLOCK", "0", 1);
    EXPECT_TRUE(mlock_enabled());
  }
  {
    ScopedEnv env("NIMBREL_PREWARM", " Off ");
    EXPECT_FALSE(prewarm_enabled());
  }
  ScopedEnv env("NIMBREL_PREWARM", "1");
  PREWARM_STATE.store(1);  // off, as set_residency would store it
  EXPECT_FALSE(prewarm_enabled());
}

// ---- record encoding -------------------------------------------------------------

TEST(Record, EveryKindRoundTripsAndTrailingBytesAreAccepted) {
  record::Writer w;
  w.u8(7);
  w.u32(0xdeadbeef);
  w.u64(1ull << 40);
  w.f32(-1.5f);
  w.f64(std::numeric_limits<double>::quiet_NaN());
  w.boolean(true);
  w.option(false);
  w.tag(3);
  w.str("h\xc3\xa9llo");
  w.seq(std::vector<float>{1.0f, 2.5f});
  w.u8(0xEE);  // trailing
  const std::vector<uint8_t> bytes = w.take();
  // Fixed widths, nothing between fields.
  ASSERT_EQ(bytes.size(), 1u + 4 + 8 + 4 + 8 + 1 + 1 + 4 + (8 + 6) + (8 + 8) + 1);
  EXPECT_EQ(bytes[1], 0xef);

  record::Reader r(bytes.data(), bytes.size());
  uint8_t a;
  uint32_t b, tag;
  uint64_t c;
  float d;
  double e;
  bool f, present;
  std::string s;
  std::vector<float> v;
  ASSERT_TRUE(r.u8(&a) && r.u32(&b) && r.u64(&c) && r.f32(&d) && r.f64(&e) && r.boolean(&f) &&
              r.option(&present) && r.tag(&tag) && r.str(&s) && r.seq(&v));
  EXPECT_TRUE(a == 7 && b == 0xdeadbeefu && c == 1ull << 40 && d == -1.5f && std::isnan(e) && f && !present &&
              tag == 3u && s == "h\xc3\xa9llo" && v == (std::vector<float>{1.0f, 2.5f}));
  EXPECT_EQ(r.remaining(), 1u);
}

TEST(Record, AbsurdCountIsRefusedBeforeAnythingIsAllocated) {
  record::Writer w;
  w.count(1ull << 60);  // a sequence of 2^60 floats...
  w.f32(1.0f);          // ...backed by 4 bytes
  const auto bytes = w.take();
  record::Reader r(bytes.data(), bytes.size());
  std::vector<float> v;
  EXPECT_FALSE(r.seq(&v));  // would throw bad_alloc had it reserved first
  EXPECT_NE(r.error().find("exceeds the 4 bytes left"), std::string::npos) << r.error();

  record::Reader r2(bytes.data(), bytes.size());
  std::string s;
  EXPECT_FALSE(r2.str(&s));
}

TEST(Record, BooleanAndOptionTagsOtherThanZeroOrOneAreRefused) {
  const uint8_t two = 2;
  bool b;
  EXPECT_FALSE(record::Reader(&two, 1).boolean(&b));
  EXPECT_FALSE(record::Reader(&two, 1).option(&b));
}

// ---- manifest --------------------------------------------------------------------

Manifest SampleManifest() {
  Manifest m;
  m.dim = 2;
  m.n = m.fit_count = 5;
  m.quant_scale = 3.5f;
  m.n_bits = 2;
  m.seed = 9;
  m.n_lists = 2;
  m.centroids = {0, 0, 1, 1};
  m.list_offsets = {0, 3, 5};
  m.pca_mean = {0.5f, 0.5f};
  m.fields = {FieldSchema{"price", true, {}}, FieldSchema{"color", false, {{"red", 1}, {"blue", 0}}}};
  m.skip_fields = {"body"};
  m.sparse_postings[4] = {{0, 1.5f}, {4, 2.0f}};
  return m;
}

Result<Manifest> Reencode(const Manifest& m) {
  const auto bytes = encode_manifest(m);
  return decode_manifest(bytes.data(), bytes.size());
}

TEST(ManifestCodec, RoundTripsEveryField) {
  const Manifest m = SampleManifest();
  auto back = Reencode(m);
  ASSERT_TRUE(back.ok()) << back.status().message();
  EXPECT_EQ(back->dim, 2u);
  EXPECT_EQ(back->quant_scale, 3.5f);
  EXPECT_EQ(back->list_offsets, m.list_offsets);
  EXPECT_EQ(back->centroids, m.centroids);
  EXPECT_EQ(back->pca_mean, m.pca_mean);
  EXPECT_TRUE(back->pca_comps.empty());
  ASSERT_EQ(back->fields.size(), 2u);
  EXPECT_EQ(back->fields[1].dict, m.fields[1].dict);
  EXPECT_TRUE(back->fields[0].numeric);
  EXPECT_EQ(back->skip_fields, m.skip_fields);
  EXPECT_EQ(back->sparse_postings, m.sparse_postings);
  // The row format is appended last: a manifest written before it (or
  // ending in fewer than four more bytes) records none.
  Manifest recorded = m;
  recorded.row_format = 3;
  std::vector<uint8_t> bytes = encode_manifest(recorded);
  EXPECT_EQ(bytes.size(), encode_manifest(m).size() + 4);
  EXPECT_EQ(decode_manifest(bytes.data(), bytes.size())->row_format, 3u);
  EXPECT_EQ(back->row_format, 0u);
  EXPECT_EQ(decode_manifest(bytes.data(), bytes.size() - 1)->row_format, 0u);
  // An empty segment may have no bits and no lists.
  Manifest empty;
  empty.dim = 4;
  empty.list_offsets = {0};
  EXPECT_TRUE(Reencode(empty).ok());
}

TEST(ManifestCodec, EveryTruncationIsRefusedAsCorrupt) {
  const auto bytes = encode_manifest(SampleManifest());
  for (size_t len = 0; len < bytes.size(); ++len) {
    auto r = decode_manifest(bytes.data(), len);
    ASSERT_FALSE(r.ok()) << len;
    EXPECT_EQ(r.status().message().rfind("corrupt index: manifest.bin: ", 0), 0u) << r.status().message();
  }
}

TEST(ManifestCodec, InconsistentHeadersAreRefused) {
  std::vector<std::pair<const char*, std::function<void(Manifest&)>>> damage = {
      {"dim 0", [](Manifest& m) { m.dim = 0; }},
      {"dim beyond the limit", [](Manifest& m) { m = Manifest(); m.dim = kMaxDim + 1; m.list_offsets = {0}; }},
      {"centroids short", [](Manifest& m) { m.centroids.pop_back(); }},
      {"offsets count", [](Manifest& m) { m.list_offsets.push_back(5); }},
      {"offsets start", [](Manifest& m) { m.list_offsets[0] = 1; }},
      {"offsets end", [](Manifest& m) { m.list_offsets[2] = 4; }},
      {"offsets decrease", [](Manifest& m) { m.list_offsets = {0, 6, 5}; }},
      {"bits 0", [](Manifest& m) { m.n_bits = 0; }}, {"bits 9", [](Manifest& m) { m.n_bits = 9; }},
      {"rows without lists", [](Manifest& m) { m.n_lists = 0; m.centroids.clear(); m.list_offsets = {0}; }},
      {"repeated code", [](Manifest& m) { m.fields[1].dict["green"] = 1; }},
      {"code out of range", [](Manifest& m) { m.fields[1].dict["red"] = 7; }},
      {"numeric with dict", [](Manifest& m) { m.fields[0].dict["x"] = 0; }},
      {"field twice", [](Manifest& m) { m.fields.push_back(m.fields[0]); }},
      {"posting past the rows", [](Manifest& m) { m.sparse_postings[4].push_back({5, 1.0f}); }}, };
  for (auto& [what, apply] : damage) {
    Manifest m = SampleManifest();
    apply(m);
    auto r = Reencode(m);
    ASSERT_FALSE(r.ok()) << what;
    EXPECT_EQ(r.status().code(), Code::kCorrupt) << what;
  }
}

}  // namespace
}  // namespace nimbrel
