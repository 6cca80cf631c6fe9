// Compaction: the live rows of a segment written into a new directory,
// list by list, with their codes, factors and 8-bit copies copied as they
// are (no re-clustering, no re-encoding); and the live rows as the input
// of a rebuild, with vectors read back from the 8-bit copies.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <cmath>
#include <cstring>

#include "ivf_rabitq/index.h"
#include "ivf_rabitq/json_text.h"
#include "ivf_rabitq/record.h"
#include "ivf_rabitq/segment_format.h"
#include "ivf_rabitq/segment_writer.h"

namespace nimbrel {
namespace {

using SparseRow = std::vector<std::pair<uint32_t, float>>;

}  // namespace

std::vector<SparsePairs> IvfIndex::main_sparse_rows() const {
  std::vector<SparsePairs> rows;
  for_each_main_posting([&](uint32_t term, uint32_t row, float weight) {
    if (row >= manifest_.n) return;  // a damaged posting names no row
    if (rows.empty()) rows.resize(manifest_.n);
    rows[row].emplace_back(term, weight);
  });
  return rows;
}

void IvfIndex::stored_vector(uint32_t row, float* out) const {
  const size_t dim = manifest_.dim;
  const uint8_t* codes;
  float scale;
  if (row < manifest_.n) {
    codes = orig_.data() + static_cast<size_t>(row) * dim;
    scale = rerank_scale(row);
  } else {
    codes = delta_.rerank.data() + static_cast<size_t>(row - manifest_.n) * (dim + 1);
    scale = copy_scale(codes[dim]);
  }
  for (size_t d = 0; d < dim; ++d) out[d] = (static_cast<float>(codes[d]) - 128.0f) / 127.0f * scale;
}

Status IvfIndex::compact_to(const std::string& staging, uint64_t generation) const {
  try {
    std::shared_lock<RwLock> tomb_lock(tomb_mu_);
    std::shared_lock<RwLock> delta_lock(delta_mu_);
    const size_t n_lists = manifest_.n_lists;
    const bool has_live_delta = [&] {
      for (size_t i = 0; i < delta_.size(); ++i) {
        if (!tombstones_.contains(static_cast<uint32_t>(manifest_.n + i))) return true;
      }
      return false;
    }();
    // Codes of formats 1 and 2 follow another rotation, and a segment
    // built from no rows has no lists to put rows in: both are
    // clustered and encoded afresh, as by a rebuild.
    if (format_version_ < 3 || (n_lists == 0 && has_live_delta)) {
      delta_lock.unlock();
      tomb_lock.unlock();
      NIMBREL_ASSIGN_OR_RETURN(std::unique_ptr<LiveRows> live, live_rows());
      live->input.dir = staging;
      live->input.n_clusters = n_lists;  // 0: the square root of the rows
      live->input.n_bits = manifest_.n_bits;
      live->input.seed = manifest_.seed;
      NIMBREL_RETURN_IF_ERROR(build(live->input));
      return storage::write_generation(staging, generation);
    }

    const size_t dim = manifest_.dim;
    const uint64_t main_n = manifest_.n;
    // The output rows, list by list: a list's main rows, then its added rows.
    std::vector<uint32_t> rows;
    std::vector<uint64_t> list_offsets{0};
    for (size_t l = 0; l < n_lists; ++l) {
      for (uint64_t r = manifest_.list_offsets[l]; r < manifest_.list_offsets[l + 1]; ++r) {
        if (!tombstones_.contains(static_cast<uint32_t>(r))) rows.push_back(static_cast<uint32_t>(r));
      }
      for (uint32_t i : delta_.group(static_cast<uint32_t>(l)).rows) {
        const uint32_t row = static_cast<uint32_t>(main_n + i);
        if (!tombstones_.contains(row)) rows.push_back(row);
      }
      list_offsets.push_back(rows.size());
    }
    const uint64_t n = rows.size();

    NIMBREL_RETURN_IF_ERROR(platform::CreateDirectories(staging));
    segment_writer::DataFileSet files(staging);
    {
      NIMBREL_ASSIGN_OR_RETURN(auto codes_w, files.open(segment::kCodesFile));
      NIMBREL_ASSIGN_OR_RETURN(auto factors_w, files.open(segment::kFactorsFile));
      NIMBREL_ASSIGN_OR_RETURN(auto rerank_w, files.open(segment::kRerankFile));
      NIMBREL_ASSIGN_OR_RETURN(auto scale_w, files.open(segment::kRerankScaleFile));
      const RowFactors* main_factors = reinterpret_cast<const RowFactors*>(metas_.data());
      uint8_t scale[segment::kScaleRecordBytes];
      // Codes are read back one row at a time and arranged afresh: the
      // lists change, and the rows of row format 3 are not in blocks.
      CodeArranger arranger(list_offsets.data(), n_lists, code_bytes_);
      std::vector<uint8_t> code(code_bytes_);
      auto write_code = [&]() -> Status {
        const auto [bytes, size] = arranger.add(code.data());
        return size > 0 ? codes_w.Append(bytes, size) : Status::Ok();
      };
      size_t list = 0;
      for (uint32_t row : rows) {
        std::memset(scale, 0, sizeof scale);
        if (row < main_n) {
          while (row >= manifest_.list_offsets[list + 1]) ++list;
          const uint64_t begin = manifest_.list_offsets[list];
          list_row_code(codes_.data() + begin * code_bytes_, manifest_.list_offsets[list + 1] - begin, row - begin,
                        code_bytes_, blocked_codes_, code.data());
          NIMBREL_RETURN_IF_ERROR(write_code());
          NIMBREL_RETURN_IF_ERROR(factors_w.Append(&main_factors[row], sizeof(RowFactors)));
          NIMBREL_RETURN_IF_ERROR(rerank_w.Append(orig_.data() + static_cast<size_t>(row) * dim, dim));
          // Without origscale.bin every row has the global scale: code 0.
          if (!origscale_.empty()) {
            std::memcpy(scale, origscale_.data() + static_cast<size_t>(row) * segment::kScaleRecordBytes, sizeof scale);
          }
        } else {
          const uint32_t i = row - static_cast<uint32_t>(main_n);
          const DeltaList& g = delta_.group(delta_.list_of[i]);
          const size_t pos = delta_.pos_in_list[i];
          list_row_code(g.codes.data(), g.rows.size(), pos, code_bytes_, true, code.data());
          NIMBREL_RETURN_IF_ERROR(write_code());
          NIMBREL_RETURN_IF_ERROR(factors_w.Append(&g.factors[pos], sizeof(RowFactors)));
          const uint8_t* copy = delta_.rerank.data() + static_cast<size_t>(i) * (dim + 1);
          NIMBREL_RETURN_IF_ERROR(rerank_w.Append(copy, dim));
          store_le<uint32_t>(scale + segment::kScaleExponentAt, copy[dim]);
        }
        NIMBREL_RETURN_IF_ERROR(scale_w.Append(scale, sizeof scale));
      }
      NIMBREL_RETURN_IF_ERROR(files.commit(segment::kCodesFile, codes_w));
      NIMBREL_RETURN_IF_ERROR(files.commit(segment::kFactorsFile, factors_w));
      NIMBREL_RETURN_IF_ERROR(files.commit(segment::kRerankFile, rerank_w));
      NIMBREL_RETURN_IF_ERROR(files.commit(segment::kRerankScaleFile, scale_w));
    }

    // Metadata is parsed once: its canonical text and the typed columns
    // (derived afresh, so values the old columns could not type are typed).
    std::vector<nlohmann::json> metas(n);
    tbb::parallel_for(tbb::blocked_range<uint64_t>(0, n, 256), [&](const tbb::blocked_range<uint64_t>& r) {
      for (uint64_t j = r.begin(); j < r.end(); ++j) {
        metas[j] = parse_json_text(row_meta_str(rows[j]));
        if (metas[j].is_discarded()) metas[j] = nullptr;
      }
    });
    const std::vector<SparseRow> main_sparse = main_sparse_rows();
    bool has_sparse = !main_sparse.empty();
    for (const SparseRow& s : delta_.sparse) has_sparse = has_sparse || !s.empty();
    static const SparseRow kNone;
    std::vector<std::string> ids(n);
    for (uint64_t j = 0; j < n; ++j) {
      const uint32_t row = rows[j];
      if (row < main_n) {
        std::string_view id;
        if (main_id_bytes(row, &id)) ids[j] = std::string(id);
      } else {
        ids[j] = delta_.ids[row - main_n];
      }
    }
    segment_writer::RowTexts texts;
    texts.n = n;
    texts.id = [&](uint64_t j) -> std::string_view { return ids[j]; };
    texts.meta = [&](uint64_t j) -> const nlohmann::json& { return metas[j]; };
    if (has_sparse) {
      texts.sparse = [&](uint64_t j) -> const SparseRow& {
        const uint32_t row = rows[j];
        if (row < main_n) return main_sparse.empty() ? kNone : main_sparse[row];
        return delta_.sparse[row - main_n];
      };
    }
    Manifest m = manifest_;
    m.n = n;
    m.list_offsets = list_offsets;
    m.sparse_postings.clear();
    m.row_format = segment::kBlockedRowFormat;
    const std::set<std::string> skip(manifest_.skip_fields.begin(), manifest_.skip_fields.end());
    NIMBREL_RETURN_IF_ERROR(segment_writer::write_ids(files, texts));
    NIMBREL_RETURN_IF_ERROR(segment_writer::write_metadata(files, texts));
    NIMBREL_RETURN_IF_ERROR(segment_writer::write_sparse(files, texts));
    NIMBREL_ASSIGN_OR_RETURN(m.fields, segment_writer::write_typed_columns(files, texts, skip));
    return segment_writer::finish(files, m, generation);
  } catch (const std::bad_alloc&) {
    return Status(Code::kIoError, "compact: out of memory");
  } catch (const std::exception& e) {
    return Status(Code::kIoError, std::string("compact: ") + e.what());
  }
}

Result<std::unique_ptr<IvfIndex::LiveRows>> IvfIndex::live_rows() const {
  try {
    auto live = std::make_unique<LiveRows>();
    std::shared_lock<RwLock> tomb_lock(tomb_mu_);
    std::shared_lock<RwLock> delta_lock(delta_mu_);
    const size_t dim = manifest_.dim;
    const uint64_t main_n = manifest_.n;
    const uint64_t total = main_n + delta_.size();
    std::vector<uint32_t> rows;
    for (uint64_t r = 0; r < total; ++r) {
      if (!tombstones_.contains(static_cast<uint32_t>(r))) rows.push_back(static_cast<uint32_t>(r));
    }
    const uint64_t n = rows.size();
    BuildInput& in = live->input;
    live->vectors.resize(n * dim);
    in.ids.resize(n);
    in.metadata.resize(n);
    const std::vector<SparseRow> main_sparse = main_sparse_rows();
    bool has_sparse = !main_sparse.empty();
    for (const SparseRow& s : delta_.sparse) has_sparse = has_sparse || !s.empty();
    if (has_sparse) in.sparse.resize(n);
    tbb::parallel_for(tbb::blocked_range<uint64_t>(0, n, 256), [&](const tbb::blocked_range<uint64_t>& range) {
      for (uint64_t j = range.begin(); j < range.end(); ++j) {
        const uint32_t row = rows[j];
        stored_vector(row, live->vectors.data() + j * dim);
        if (row < main_n) {
          std::string_view id;
          if (main_id_bytes(row, &id)) in.ids[j] = std::string(id);
          if (has_sparse && !main_sparse.empty()) in.sparse[j] = main_sparse[row];
        } else {
          const uint64_t i = row - main_n;
          in.ids[j] = delta_.ids[i];
          if (has_sparse) in.sparse[j] = delta_.sparse[i];
        }
        in.metadata[j] = parse_json_text(row_meta_str(row));
        if (in.metadata[j].is_discarded()) in.metadata[j] = nullptr;
      }
    });
    in.data = live->vectors.data();
    in.data_len = live->vectors.size();
    in.n = n;
    in.dim = dim;
    in.skip = manifest_.skip_fields;
    in.pca_mean = manifest_.pca_mean;
    in.pca_comps = manifest_.pca_comps;
    in.quant_scale = manifest_.quant_scale;
    return live;
  } catch (const std::bad_alloc&) {
    return Status(Code::kIoError, "rebuild: out of memory");
  }
}

}  // namespace nimbrel
