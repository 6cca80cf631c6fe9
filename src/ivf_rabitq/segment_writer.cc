#include "ivf_rabitq/segment_writer.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>

#include "ivf_rabitq/id_hash.h"
#include "ivf_rabitq/json_text.h"
#include "ivf_rabitq/record.h"
#include "ivf_rabitq/segment_format.h"

namespace nimbrel::segment_writer {
namespace {

using segment::kOffsetBytes;

std::string U(uint64_t v) { return std::to_string(v); }

// The smallest x with 2^x >= m, for finite m > 0 (exact, via frexp).
int CeilLog2(double m) {
  int ex;
  const double frac = std::frexp(m, &ex);  // m = frac * 2^ex, frac in [0.5, 1)
  return frac == 0.5 ? ex - 1 : ex;
}

// The signed level of x in a copy of scale s: round(x / s * 127), half away
// from zero, clamped to [-127, 127]; code c = level + 128 stands for
// (c - 128) / 127 * s. x / s * 127 is exact in double (a float times a power
// of two times 127), so adding one half and truncating rounds exactly like
// std::round, without a library call in a loop that runs for every stored
// value. NaN (never passed by the Python layer) gives level 0.
inline int RerankLevel(float x, double levels_per_unit) {
  double v = static_cast<double>(x) * levels_per_unit;
  if (!(v == v)) v = 0.0;
  v = std::clamp(v, -127.0, 127.0);
  return static_cast<int>(v + (v < 0.0 ? -0.5 : 0.5));
}

// The exponent code e of a row's 8-bit copy: the smallest power of two
// s = 2^(e - 128) not below the row's largest |value|, so no component is
// clipped: e = clamp(ceil(log2(max|x_i|)) + 128, 2, 255). An all-zero row
// gets 2.
uint8_t RerankExponent(const float* x, size_t dim) {
  float max_abs = 0.0f;
  for (size_t i = 0; i < dim; ++i) max_abs = std::max(max_abs, std::fabs(x[i]));
  if (!(max_abs > 0.0f)) return 2;
  if (std::isinf(max_abs)) return 255;
  return static_cast<uint8_t>(std::clamp(CeilLog2(max_abs) + 128, 2, 255));
}

}  // namespace

void encode_rerank(const float* x, size_t dim, uint8_t* out) {
  const uint8_t e = RerankExponent(x, dim);
  const double levels_per_unit = 127.0 / std::ldexp(1.0, static_cast<int>(e) - 128);
  for (size_t i = 0; i < dim; ++i) out[i] = static_cast<uint8_t>(RerankLevel(x[i], levels_per_unit) + 128);
  out[dim] = e;
}

Result<storage::AtomicFileWriter> DataFileSet::open(const std::string& name) {
  return storage::AtomicFileWriter::Create(platform::JoinPath(dir_, name));
}

Status DataFileSet::commit(const std::string& name, storage::AtomicFileWriter& w) {
  NIMBREL_ASSIGN_OR_RETURN(uint32_t crc, w.Commit());
  crcs_[name] = crc;
  return Status::Ok();
}

Status DataFileSet::write_whole(const std::string& name, const void* data, size_t len) {
  NIMBREL_ASSIGN_OR_RETURN(storage::AtomicFileWriter w, open(name));
  NIMBREL_RETURN_IF_ERROR(w.Append(data, len));
  return commit(name, w);
}

Status write_ids(DataFileSet& files, const RowTexts& rows) {
  const uint64_t n = rows.n;
  std::vector<uint8_t> offsets((n + 1) * kOffsetBytes);
  std::vector<uint8_t> bytes;
  uint64_t total = 0;
  for (uint64_t r = 0; r < n; ++r) total += rows.id(r).size();
  bytes.reserve(total);
  for (uint64_t r = 0; r < n; ++r) {
    store_le<uint64_t>(offsets.data() + r * kOffsetBytes, bytes.size());
    const std::string_view id = rows.id(r);
    bytes.insert(bytes.end(), id.begin(), id.end());
  }
  store_le<uint64_t>(offsets.data() + n * kOffsetBytes, bytes.size());
  NIMBREL_RETURN_IF_ERROR(files.write_whole(segment::kIdsFile, bytes.data(), bytes.size()));
  NIMBREL_RETURN_IF_ERROR(files.write_whole(segment::kIdOffsetsFile, offsets.data(), offsets.size()));
  const std::vector<uint8_t> table = build_id_hash_table(bytes.data(), bytes.size(), offsets.data(), n);
  return files.write_whole(segment::kIdHashFile, table.data(), table.size());
}

Status write_metadata(DataFileSet& files, const RowTexts& rows) {
  const uint64_t n = rows.n;
  NIMBREL_ASSIGN_OR_RETURN(auto meta_w, files.open(segment::kMetaFile));
  std::vector<uint8_t> offsets((n + 1) * kOffsetBytes);
  std::vector<std::string> texts;
  uint64_t at = 0;
  for (uint64_t first = 0; first < n; first += kChunkRows) {
    const uint64_t count = std::min(kChunkRows, n - first);
    texts.assign(count, std::string());
    tbb::parallel_for(tbb::blocked_range<uint64_t>(0, count, 256), [&](const tbb::blocked_range<uint64_t>& r) {
      for (uint64_t j = r.begin(); j < r.end(); ++j) texts[j] = canonical_json(rows.meta(first + j));
    });
    for (uint64_t j = 0; j < count; ++j) {
      store_le<uint64_t>(offsets.data() + (first + j) * kOffsetBytes, at);
      NIMBREL_RETURN_IF_ERROR(meta_w.Append(texts[j].data(), texts[j].size()));
      at += texts[j].size();
    }
  }
  store_le<uint64_t>(offsets.data() + n * kOffsetBytes, at);
  NIMBREL_RETURN_IF_ERROR(files.commit(segment::kMetaFile, meta_w));
  return files.write_whole(segment::kMetaOffsetsFile, offsets.data(), offsets.size());
}

// sparse.bin: u64 term count; (u32 term, u32 postings) ascending by term;
// then the postings (u32 row, f32 weight) term after term, rows ascending.
Status write_sparse(DataFileSet& files, const RowTexts& rows) {
  struct Posting {
    uint32_t term;
    uint32_t row;
    float weight;
  };
  std::vector<Posting> postings;
  if (rows.sparse) {
    for (uint64_t r = 0; r < rows.n; ++r) {
      for (const auto& [term, weight] : rows.sparse(r)) {
        postings.push_back({term, static_cast<uint32_t>(r), weight});
      }
    }
    // Stable: rows stay ascending within a term, and a term repeated in one
    // row keeps its repeats in the given order.
    std::stable_sort(postings.begin(), postings.end(),
                     [](const Posting& a, const Posting& b) { return a.term < b.term; });
  }
  std::vector<std::pair<uint32_t, uint64_t>> terms;
  for (const Posting& p : postings) {
    if (terms.empty() || terms.back().first != p.term) terms.push_back({p.term, 0});
    if (++terms.back().second > UINT32_MAX) {
      return Status::InvalidArgument("build: sparse term " + U(p.term) + " has more than 4294967295 postings");
    }
  }
  std::vector<uint8_t> out(8 + 8 * terms.size() + 8 * postings.size());
  store_le<uint64_t>(out.data(), terms.size());
  uint8_t* p = out.data() + 8;
  for (const auto& [term, count] : terms) {
    store_le<uint32_t>(p, term);
    store_le<uint32_t>(p + 4, static_cast<uint32_t>(count));
    p += 8;
  }
  for (const Posting& post : postings) {
    store_le<uint32_t>(p, post.row);
    store_le<float>(p + 4, post.weight);
    p += 8;
  }
  return files.write_whole(segment::kSparseFile, out.data(), out.size());
}

Result<std::vector<FieldSchema>> write_typed_columns(DataFileSet& files, const RowTexts& rows,
                                                     const std::set<std::string>& skip) {
  std::vector<const nlohmann::json*> metas(rows.n);
  for (uint64_t r = 0; r < rows.n; ++r) metas[r] = &rows.meta(r);
  TypedColumns tc = build_typed_columns(metas, skip);
  for (size_t i = 0; i < tc.num.size(); ++i) {
    NIMBREL_RETURN_IF_ERROR(files.write_whole(segment::numeric_column_file(i), tc.num[i].data(),
                                              tc.num[i].size() * sizeof(double)));
  }
  for (size_t i = 0; i < tc.str.size(); ++i) {
    NIMBREL_RETURN_IF_ERROR(files.write_whole(segment::string_column_file(i), tc.str[i].data(),
                                              tc.str[i].size() * sizeof(uint32_t)));
  }
  return std::move(tc.fields);
}

Status finish(const DataFileSet& files, const Manifest& m, uint64_t generation) {
  const std::string& dir = files.dir();
  NIMBREL_RETURN_IF_ERROR(platform::SyncDirectory(dir));
  // The write path's files describe the old rows: a fresh segment starts
  // without them, and one that stayed would be applied to the new rows.
  for (const char* stale : {segment::kDeltaFile, segment::kDeletedFile, segment::kWalFile,
                            segment::kWalCorruptFile}) {
    Status st = platform::Unlink(platform::JoinPath(dir, stale));
    if (!st.ok() && st.code() != Code::kNotFound) return st;
  }
  record::Writer crcs;
  crcs.count(files.crcs().size());
  for (const auto& [name, crc] : files.crcs()) {
    crcs.str(name);
    crcs.u32(crc);
  }
  NIMBREL_RETURN_IF_ERROR(storage::write_bytes(platform::JoinPath(dir, segment::kCrcsFile),
                                               wrap_with_header(segment::kCrcsMagic, crcs.bytes())));
  record::Writer format;
  format.u32(segment::format_of_row_format(m.row_format));
  NIMBREL_RETURN_IF_ERROR(storage::write_bytes(platform::JoinPath(dir, segment::kFormatFile),
                                               wrap_with_header(segment::kFormatMagic, format.bytes())));
  NIMBREL_RETURN_IF_ERROR(storage::write_generation(dir, generation));
  NIMBREL_RETURN_IF_ERROR(storage::write_bytes(platform::JoinPath(dir, segment::kManifestFile),
                                               wrap_with_header(segment::kManifestMagic, encode_manifest(m))));
  // A directory created here is durable only once its parent's entry is.
  return storage::sync_parent_dir(dir);
}

}  // namespace nimbrel::segment_writer
