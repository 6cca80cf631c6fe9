// Shared helpers of the C++ tests: temporary directories, byte damage,
// environment overrides and a small random-segment builder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ivf_rabitq/index.h"

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

// ---- random segments -----------------------------------------------------------
struct RandomSegmentOptions {
  uint64_t n = 300;
  uint64_t dim = 8;
  uint64_t lists = 0;  // 0: the build's default
  uint64_t bits = 2;
  uint64_t seed = 42;
  bool sparse = true;  // a few sparse terms per row
};

// Gaussian blobs; ids "id-<i>" (every 7th one with a non-ASCII suffix);
// metadata objects with a number, a string with quotes and escapes, a bool
// and sometimes a nested value; every 11th row has null metadata.
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
