#include "ivf_rabitq/delta.h"

#include <algorithm>

#include "ivf_rabitq/record.h"
#include "ivf_rabitq/storage.h"

namespace nimbrel {
namespace {

constexpr char kMagic[4] = {'N', 'B', 'D', 'L'};
constexpr char kFile[] = "delta.bin";
constexpr uint32_t kDeltaVersion = 1;

Status Bad(const std::string& what) { return Status::Corrupt(std::string("corrupt index: ") + kFile + ": " + what); }
std::string U(uint64_t v) { return std::to_string(v); }

}  // namespace

void Delta::reset(size_t n_lists) {
  *this = Delta();
  lists.resize(n_lists == 0 ? 1 : n_lists);
}

uint32_t Delta::append(DeltaRow&& row, size_t dim, size_t code_bytes) {
  const uint32_t i = static_cast<uint32_t>(ids.size());
  DeltaList& g = lists[row.list == kNoList ? 0 : row.list];
  // The copy a filled block is interleaved from, allocated before anything
  // changes, so that running out of memory leaves the delta as it was.
  const bool fills_block = code_bytes > 0 && (g.rows.size() + 1) % kBlockRows == 0;
  std::vector<uint8_t> block_rows(fills_block ? kBlockRows * code_bytes : 0);
  list_of.push_back(row.list);
  pos_in_list.push_back(static_cast<uint32_t>(g.rows.size()));
  g.rows.push_back(i);
  if (code_bytes > 0) {
    g.codes.insert(g.codes.end(), row.code.begin(), row.code.begin() + code_bytes);
    if (fills_block) {
      // The list's last 32 rows now fill a block: interleave them in place.
      uint8_t* last = g.codes.data() + g.codes.size() - kBlockRows * code_bytes;
      std::copy(last, last + kBlockRows * code_bytes, block_rows.begin());
      block_codes(block_rows.data(), code_bytes, last);
    }
  }
  g.factors.push_back(row.factors);
  rerank.insert(rerank.end(), row.rerank.begin(), row.rerank.begin() + dim + 1);
  newest[row.id] = i;
  ids.push_back(std::move(row.id));
  metas.push_back(std::move(row.meta));
  for (const auto& [term, weight] : row.sparse) postings[term].emplace_back(i, weight);
  sparse.push_back(std::move(row.sparse));
  return i;
}

DeltaRow Delta::row(uint32_t i, size_t dim, size_t code_bytes) const {
  DeltaRow r;
  r.id = ids[i];
  r.meta = metas[i];
  r.sparse = sparse[i];
  r.list = list_of[i];
  const DeltaList& g = group(r.list);
  const size_t pos = pos_in_list[i];
  r.code.resize(code_bytes);
  if (code_bytes > 0) list_row_code(g.codes.data(), g.rows.size(), pos, code_bytes, true, r.code.data());
  r.factors = g.factors[pos];
  r.rerank.assign(rerank.begin() + static_cast<size_t>(i) * (dim + 1),
                  rerank.begin() + static_cast<size_t>(i + 1) * (dim + 1));
  return r;
}

namespace delta_file {

std::vector<uint8_t> encode(const Delta& d, uint64_t main_rows, size_t dim, size_t code_bytes,
                            const FoldStamp& stamp) {
  record::Writer w;
  w.u32(kDeltaVersion);
  w.u64(main_rows);
  w.u64(dim);
  w.u64(code_bytes);
  w.u64(stamp.log_id);
  w.u64(stamp.log_offset);
  w.count(d.size());
  for (uint32_t i = 0; i < d.size(); ++i) {
    const DeltaRow r = d.row(i, dim, code_bytes);
    w.str(r.id);
    w.str(r.meta);
    w.u32(r.list);
    for (uint8_t b : r.code) w.u8(b);
    w.f32(r.factors.norm);
    w.f32(r.factors.ip_scale);
    w.f32(r.factors.code_sum);
    w.f32(r.factors.err);
    for (uint8_t b : r.rerank) w.u8(b);
    w.count(r.sparse.size());
    for (const auto& [term, weight] : r.sparse) {
      w.u32(term);
      w.f32(weight);
    }
  }
  return wrap_with_header(kMagic, w.bytes());
}

Result<Decoded> decode(const std::vector<uint8_t>& file, uint64_t main_rows, size_t dim,
                       size_t code_bytes, uint64_t n_lists) {
  NIMBREL_ASSIGN_OR_RETURN(std::vector<uint8_t> body, unwrap_header(kMagic, file, kFile));
  record::Reader r(body.data(), body.size());
  uint32_t version;
  uint64_t stored_main, stored_dim, stored_code_bytes, rows;
  Decoded out;
  if (!r.u32(&version) || !r.u64(&stored_main) || !r.u64(&stored_dim) || !r.u64(&stored_code_bytes) ||
      !r.u64(&out.stamp.log_id) || !r.u64(&out.stamp.log_offset)) {
    return Bad(r.error());
  }
  if (version != kDeltaVersion) return Bad("unsupported version " + U(version));
  if (stored_main != main_rows || stored_dim != dim || stored_code_bytes != code_bytes) {
    return Bad("written for " + U(stored_main) + " main rows of dim " + U(stored_dim) + " (" +
               U(stored_code_bytes) + "-byte codes), the segment has " + U(main_rows) + " of dim " + U(dim) +
               " (" + U(code_bytes) + ")");
  }
  // Each row takes at least its two string lengths, list, factors, 8-bit
  // copy and sparse count.
  const size_t min_row = 8 + 8 + 4 + code_bytes + 16 + dim + 1 + 8;
  if (!r.count(&rows, min_row)) return Bad(r.error());
  if (main_rows + rows >= 0xFFFFFFFFull) return Bad(U(rows) + " rows overflow the u32 row space");
  out.rows.resize(rows);
  for (uint64_t i = 0; i < rows; ++i) {
    DeltaRow& row = out.rows[i];
    if (!r.str(&row.id) || !r.str(&row.meta) || !r.u32(&row.list)) return Bad(r.error());
    if (n_lists == 0 ? row.list != kNoList : row.list >= n_lists) {
      return Bad("row " + U(i) + " names list " + U(row.list) + " of " + U(n_lists));
    }
    if (r.remaining() < code_bytes + 16 + dim + 1) return Bad(r.error().empty() ? "row " + U(i) + " is cut short" : r.error());
    row.code.resize(code_bytes);
    for (auto& b : row.code) r.u8(&b);
    r.f32(&row.factors.norm);
    r.f32(&row.factors.ip_scale);
    r.f32(&row.factors.code_sum);
    r.f32(&row.factors.err);
    row.rerank.resize(dim + 1);
    for (auto& b : row.rerank) r.u8(&b);
    uint64_t n_sparse;
    if (!r.count(&n_sparse, 8)) return Bad(r.error());
    row.sparse.resize(n_sparse);
    for (auto& [term, weight] : row.sparse) {
      if (!r.u32(&term) || !r.f32(&weight)) return Bad(r.error());
    }
  }
  return out;
}

}  // namespace delta_file
}  // namespace nimbrel
