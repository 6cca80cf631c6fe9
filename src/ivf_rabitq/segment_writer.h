// Writing a segment directory: shared by the bulk build, compaction and
// (through the build) rebuild. The writers stream each data file through an
// atomic file writer and collect the CRC-32s for crcs.bin; finish() writes
// the small files last, manifest.bin at the very end, so a directory with
// a manifest is always complete.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "ivf_rabitq/field_schema.h"
#include "ivf_rabitq/manifest.h"
#include "ivf_rabitq/status.h"
#include "ivf_rabitq/storage.h"

namespace nimbrel::segment_writer {

// Rows are encoded, written and rendered this many at a time, so the
// encoded arrays never exist whole in memory.
inline constexpr uint64_t kChunkRows = 1 << 16;

// The 8-bit copy of a row: dim codes, code c standing for (c - 128) / 127
// * s with s = 2^(e - 128), e the exponent code written after them: the
// smallest power of two not below the row's largest |value| (2 for an
// all-zero row). `out` receives dim + 1 bytes.
void encode_rerank(const float* x, size_t dim, uint8_t* out);

// Collects the CRC-32 of every data file for crcs.bin.
class DataFileSet {
 public:
  explicit DataFileSet(std::string dir) : dir_(std::move(dir)) {}
  Result<storage::AtomicFileWriter> open(const std::string& name);
  Status commit(const std::string& name, storage::AtomicFileWriter& w);
  Status write_whole(const std::string& name, const void* data, size_t len);
  const std::map<std::string, uint32_t>& crcs() const { return crcs_; }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  std::map<std::string, uint32_t> crcs_;
};

// What the id, metadata, sparse and typed-column writers read, by output row.
struct RowTexts {
  uint64_t n = 0;
  std::function<std::string_view(uint64_t)> id;
  std::function<const nlohmann::json&(uint64_t)> meta;
  // Null when the segment has no sparse terms at all.
  std::function<const std::vector<std::pair<uint32_t, float>>&(uint64_t)> sparse;
};

// ids.bin + ids_off.bin, and idhash.bin from the same bytes.
Status write_ids(DataFileSet& files, const RowTexts& rows);
// meta.bin + meta_off.bin: canonical texts.
Status write_metadata(DataFileSet& files, const RowTexts& rows);
// sparse.bin (always written, empty without terms).
Status write_sparse(DataFileSet& files, const RowTexts& rows);
// num_<i>.bin and str_<i>.bin; returns the schema for the manifest.
Result<std::vector<FieldSchema>> write_typed_columns(DataFileSet& files, const RowTexts& rows,
                                                     const std::set<std::string>& skip);

// Flushes the directory, removes a stale delta.bin, deleted.bin, wal.bin
// and wal.corrupt.bin, then writes crcs.bin, format.bin (the format
// version of the manifest's row format), `generation` and, last,
// manifest.bin, and flushes the parent directory.
Status finish(const DataFileSet& files, const Manifest& m, uint64_t generation);

}  // namespace nimbrel::segment_writer
