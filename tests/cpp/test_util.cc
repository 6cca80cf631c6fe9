#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "ivf_rabitq/storage.h"

namespace nimbrel {

namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/nimbrel-test-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed for " << pattern;
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  EXPECT_TRUE(out.good()) << "cannot write " << path;
}

uint64_t FileSizeOf(const std::string& path) { return fs::file_size(path); }

void FlipBit(const std::string& path, uint64_t byte_offset, int bit) {
  std::vector<uint8_t> bytes = ReadBytes(path);
  ASSERT_LT(byte_offset, bytes.size()) << path;
  bytes[byte_offset] ^= static_cast<uint8_t>(1u << bit);
  WriteBytes(path, bytes);
}

void TruncateFile(const std::string& path, uint64_t size) { fs::resize_file(path, size); }

void RemoveFile(const std::string& path) { fs::remove(path); }

std::vector<std::string> ListFiles(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.is_regular_file()) names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  if (value) setenv(name, value->c_str(), 1);
  else unsetenv(name);
  reset_cached_settings_for_testing();
}

ScopedEnv::~ScopedEnv() {
  if (old_) setenv(name_.c_str(), old_->c_str(), 1);
  else unsetenv(name_.c_str());
  reset_cached_settings_for_testing();
}

std::vector<float> GaussianVector(size_t n, XorShift64& rng, double scale) {
  std::vector<float> v(n);
  for (float& x : v) x = static_cast<float>(rng.gaussian() * scale);
  return v;
}

std::shared_ptr<IvfIndex> OpenOk(const std::string& dir, const std::optional<std::set<std::string>>& skip) {
  auto idx = IvfIndex::open_with_skip(dir, skip);
  EXPECT_TRUE(idx.ok()) << dir << ": " << idx.status().message();
  return idx.ok() ? *idx : nullptr;
}

std::shared_ptr<IvfIndex> BuildAndOpen(const BuildInput& in) {
  const Status st = IvfIndex::build(in);
  EXPECT_TRUE(st.ok()) << st.message();
  return st.ok() ? OpenOk(in.dir) : nullptr;
}

std::string RowId(uint64_t i) { return std::string("r").append(std::to_string(i)); }

SmallInput::SmallInput(const std::string& dir, size_t dim, std::vector<float> values) : data(std::move(values)) {
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

RandomSegment MakeRandomSegment(const std::string& dir, const RandomSegmentOptions& opts) {
  RandomSegment s;
  std::mt19937_64 rng(opts.seed);
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  const uint64_t blobs = opts.blobs;
  std::vector<float> centers(blobs * opts.dim);
  for (float& c : centers) c = 5.0f * gauss(rng);
  s.data.resize(opts.n * opts.dim);
  BuildInput& in = s.input;
  for (uint64_t i = 0; i < opts.n; ++i) {
    const uint64_t b = rng() % blobs;
    for (uint64_t j = 0; j < opts.dim; ++j) s.data[i * opts.dim + j] = centers[b * opts.dim + j] + gauss(rng);
    in.ids.push_back("id-" + std::to_string(i) + (i % 7 == 3 ? "-\xc3\xa9\xe2\x82\xac" : ""));
    if (i % 11 == 5) {
      in.metadata.push_back(nullptr);
    } else {
      nlohmann::json m = {{"num", static_cast<int>(i % 13)}, {"tag", "t\"" + std::to_string(i % 4) + "\\"},
                          {"flag", i % 2 == 0}};
      if (i % 5 == 0) m["nested"] = {{"a", {1, 2, i}}, {"b", "x,y:z"}};
      in.metadata.push_back(std::move(m));
    }
    if (opts.sparse) {
      std::vector<std::pair<uint32_t, float>> terms;
      for (uint32_t t = 0; t < i % 4; ++t) terms.push_back({static_cast<uint32_t>((i * 7 + t * 13) % 50), 0.5f + t});
      in.sparse.push_back(std::move(terms));
    }
  }
  in.dir = dir;
  in.data = s.data.data();
  in.data_len = s.data.size();
  in.n = opts.n;
  in.dim = opts.dim;
  in.n_clusters = opts.lists;
  in.n_bits = opts.bits;
  in.seed = opts.seed;
  return s;
}

}  // namespace nimbrel
