// Shared helpers of the C++ tests: temporary directories, byte damage,
// environment overrides, random vectors and small segment builders.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ivf_rabitq/index.h"
#include "ivf_rabitq/random.h"

namespace nimbrel {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// ---- byte damage -------------------------------------------------------------
std::vector<uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
uint64_t FileSizeOf(const std::string& path);
void FlipBit(const std::string& path, uint64_t byte_offset, int bit = 0);
void TruncateFile(const std::string& path, uint64_t size);
void RemoveFile(const std::string& path);
// Names of the regular files in a directory, sorted.
std::vector<std::string> ListFiles(const std::string& dir);

// Sets (or, with nullopt, unsets) an environment variable for the scope and
// makes the cached settings read the environment again, on entry and exit.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

std::vector<float> GaussianVector(size_t n, XorShift64& rng, double scale = 1.0);

// ---- segments --------------------------------------------------------------------
// Opens a segment; a failure fails the test and gives null.
std::shared_ptr<IvfIndex> OpenOk(const std::string& dir,
                                 const std::optional<std::set<std::string>>& skip = std::nullopt);
// Builds, then opens; either failing fails the test and gives null.
std::shared_ptr<IvfIndex> BuildAndOpen(const BuildInput& in);

// "r<i>", the id of row i of a SmallInput.
std::string RowId(uint64_t i);

// A tiny build input over the given rows: ids RowId(i), null metadata, one list.
struct SmallInput {
  SmallInput(const std::string& dir, size_t dim, std::vector<float> values);
  SmallInput(const SmallInput&) = delete;  // `in.data` points into `data`
  SmallInput& operator=(const SmallInput&) = delete;
  std::vector<float> data;
  BuildInput in;
};

struct RandomSegmentOptions {
  uint64_t n = 300;
  uint64_t dim = 8;
  uint64_t lists = 0;  // 0: the build's default
  uint64_t bits = 2;
  uint64_t seed = 42;
  uint64_t blobs = 6;
  bool sparse = true;  // a few sparse terms per row
};

// `blobs` Gaussian blobs (centres about 5 apart, unit spread); ids "id-<i>"
// (every 7th one with a non-ASCII suffix); metadata objects with a number
// "num" (i % 13), a string "tag" with quotes and escapes, a bool "flag"
// (i even) and sometimes a nested value; every 11th row has null metadata.
// `input.data` points into `data`, so the struct is move-only.
struct RandomSegment {
  RandomSegment() = default;
  RandomSegment(RandomSegment&&) = default;
  RandomSegment& operator=(RandomSegment&&) = default;
  RandomSegment(const RandomSegment&) = delete;
  RandomSegment& operator=(const RandomSegment&) = delete;
  std::vector<float> data;
  BuildInput input;
};
RandomSegment MakeRandomSegment(const std::string& dir, const RandomSegmentOptions& opts = {});

}  // namespace nimbrel
