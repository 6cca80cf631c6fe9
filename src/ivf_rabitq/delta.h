// The delta: the rows added since the last build, compaction, rebuild or
// merge, held in memory and persisted by a checkpoint in delta.bin
// (docs/format.md, "delta.bin"). Delta row i is row main_count + i.
//
// Rows are kept twice over in the layout their readers want: per row for
// lookups by row (id, metadata, 8-bit copy, sparse terms, typed cells),
// and grouped by IVF list with contiguous codes and factors, so a search
// estimates the delta rows of the lists it probes in the same blocks as
// main rows, at a cost that grows with the lists probed rather than with
// the delta.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ivf_rabitq/bitplane_codec.h"
#include "ivf_rabitq/status.h"

namespace nimbrel {

// The list of a delta row in a segment without lists (built from no rows):
// such rows are ranked exactly.
inline constexpr uint32_t kNoList = 0xFFFFFFFFu;

// One encoded row, as apply_add and the checkpoint exchange it.
struct DeltaRow {
  std::string id;
  std::string meta;                                // JSON text ("null" without metadata)
  std::vector<std::pair<uint32_t, float>> sparse;  // in the order given
  uint32_t list = kNoList;
  std::vector<uint8_t> code;                       // bit-plane code (empty without lists)
  RowFactors factors{};
  std::vector<uint8_t> rerank;                     // dim codes + exponent code
};

struct DeltaList {
  std::vector<uint32_t> rows;  // delta indices, ascending
  std::vector<uint8_t> codes;  // code_bytes per row, in `rows` order, in 32-row blocks as main lists
  std::vector<RowFactors> factors;
};

struct Delta {
  std::vector<std::string> ids;
  std::vector<std::string> metas;
  std::vector<uint8_t> rerank;  // (dim + 1) bytes per row: codes, then exponent code
  std::vector<std::vector<std::pair<uint32_t, float>>> sparse;
  // The same pairs by term, for sparse search: term -> (delta index,
  // weight), in row order (a row's pairs for one term in the order given).
  std::unordered_map<uint32_t, std::vector<std::pair<uint32_t, float>>> postings;
  std::vector<uint32_t> list_of;        // per row
  std::vector<uint32_t> pos_in_list;    // per row: index within lists[list_of]
  std::vector<DeltaList> lists;         // per IVF list; one entry (kNoList rows) without lists
  std::vector<std::vector<uint32_t>> str;  // per string field number (typed cells)
  std::vector<std::vector<double>> num;    // per numeric field number
  // The newest delta row of every id added (looked up by string_view too).
  struct IdHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  std::unordered_map<std::string, uint32_t, IdHash, std::equal_to<>> newest;

  size_t size() const { return ids.size(); }
  // Sets the list count (0: a segment without lists) and clears everything.
  void reset(size_t n_lists);
  // Appends an encoded row (its typed cells are the caller's). Returns its index.
  uint32_t append(DeltaRow&& row, size_t dim, size_t code_bytes);
  // The group a list's rows are in (kNoList: the only group).
  const DeltaList& group(uint32_t list) const { return lists[list == kNoList ? 0 : list]; }
  // Row i back as a DeltaRow (for the checkpoint and compaction).
  DeltaRow row(uint32_t i, size_t dim, size_t code_bytes) const;
};

// The stamp of a checkpoint: which log, up to which offset, delta.bin and
// deleted.bin have folded in.
struct FoldStamp {
  uint64_t log_id = 0;      // 0: none
  uint64_t log_offset = 0;  // frames before this offset are folded in
};

namespace delta_file {
// delta.bin: the checksummed header "NBDL" around the body (see docs).
std::vector<uint8_t> encode(const Delta& d, uint64_t main_rows, size_t dim, size_t code_bytes,
                            const FoldStamp& stamp);
// Decodes delta.bin, checking it against the segment it belongs to; errors
// are kCorrupt "corrupt index: delta.bin: ...".
struct Decoded {
  FoldStamp stamp;
  std::vector<DeltaRow> rows;
};
Result<Decoded> decode(const std::vector<uint8_t>& file, uint64_t main_rows, size_t dim,
                       size_t code_bytes, uint64_t n_lists);
}  // namespace delta_file

}  // namespace nimbrel
