// IvfIndex::build: the bulk build of a whole segment directory.
//
// Steps: check the input; drop the earlier rows of repeated ids; fit the
// k-means centroids and assign every row exactly; order the rows list by
// list (input order kept within a list); encode each row (bit-plane code
// of its rotated residual, its factors, its 8-bit rerank copy and scale)
// in parallel a chunk at a time, streaming every file to disk; then write
// the id, metadata, sparse and typed-column files, the checksum table,
// format.bin, generation and, last, manifest.bin.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>
#include <tbb/parallel_sort.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <new>
#include <string_view>

#include "ivf_rabitq/id_hash.h"
#include "ivf_rabitq/json_text.h"
#include "ivf_rabitq/index.h"
#include "ivf_rabitq/random.h"
#include "ivf_rabitq/record.h"
#include "ivf_rabitq/segment_format.h"
#include "ivf_rabitq/segment_writer.h"
#include "ivf_rabitq/storage.h"

namespace nimbrel {
namespace {

using segment::kOffsetBytes;

// Rows are encoded and written this many at a time, so the encoded arrays
// never exist whole in memory (1M x 768-d rows would need ~1 GB for the
// rerank copies alone).
constexpr uint64_t kEncodeChunkRows = segment_writer::kChunkRows;

// Rows ranked against the centroids per task when they are read one at a
// time; at most what the ranker takes without splitting further.
constexpr uint64_t kAssignBlockRows = 256;

// A row whose largest |value| is below this still gets the smallest scale.
constexpr float kMinQuantScale = 1e-6f;

std::string U(uint64_t v) { return std::to_string(v); }

uint64_t FloorSqrt(uint64_t n) {
  uint64_t r = static_cast<uint64_t>(std::sqrt(static_cast<double>(n)));
  while (r > 0 && r * r > n) --r;
  while ((r + 1) * (r + 1) <= n) ++r;
  return r;
}

Status CheckInput(const BuildInput& in) {
  if (in.dim == 0) return Status::InvalidArgument("build: dim must be >= 1");
  if (in.dim > kMaxDim) {
    return Status::InvalidArgument("build: dim must be at most " + U(kMaxDim) + ", got " + U(in.dim));
  }
  // A fresh segment has no existing rows; its rows are slots 0..n-1, and
  // 0xFFFFFFFF is kept free as "no row".
  if (in.n >= kSlotCapacity) {
    return Status::InvalidArgument("slot space exhausted: 0 existing + " + U(in.n) +
                                   " new rows exceed the u32 slot capacity");
  }
  const unsigned __int128 want = static_cast<unsigned __int128>(in.n) * in.dim;
  const bool data_ok = !in.data_len.has_value() || static_cast<unsigned __int128>(*in.data_len) == want;
  if (!data_ok || in.ids.size() != in.n) {
    const std::string expected = want > UINT64_MAX ? "more than 2^64 - 1" : U(static_cast<uint64_t>(want));
    const std::string given = in.data_len ? U(*in.data_len) : expected;
    return Status::InvalidArgument("build: data.len()=" + given + " (expected " +
                                   expected + ") or ids.len()=" + U(in.ids.size()) + " (expected " +
                                   U(in.n) + ")");
  }
  if (in.metadata.size() != in.n) {
    return Status::InvalidArgument("build: metadata.len()=" + U(in.metadata.size()) + " (expected " +
                                   U(in.n) + ")");
  }
  if (!in.sparse.empty() && in.sparse.size() != in.n) {
    return Status::InvalidArgument("build: sparse.len()=" + U(in.sparse.size()) + " (expected " +
                                   U(in.n) + " or 0)");
  }
  if (in.n_bits < 1 || in.n_bits > 8) {
    return Status::InvalidArgument("build: n_bits must be between 1 and 8, got " + U(in.n_bits));
  }
  if (in.n > 0 && in.data == nullptr && !in.row_vector) return Status::InvalidArgument("build: no vector data");
  for (size_t i = 0; i < in.metadata.size(); ++i) {
    if (nested_deeper_than(in.metadata[i], kMaxMetadataDepth)) {
      return Status::InvalidData("build: metadata[" + U(i) + "] is nested more than " +
                                 U(kMaxMetadataDepth) + " levels deep");
    }
  }
  return Status::Ok();
}

// The input positions of the rows that are stored: the last row of every
// id, in input order. Ids are grouped by hash with a parallel sort rather
// than entered into a hash map one by one: on a million rows the map alone
// was a third of a second of one thread while every other core waited.
std::vector<uint64_t> LastRowPerId(const std::vector<std::string>& ids) {
  const uint64_t n = ids.size();
  struct Entry {
    uint64_t hash;
    uint64_t row;
  };
  std::vector<Entry> e(n);
  tbb::parallel_for(tbb::blocked_range<uint64_t>(0, n, 4096), [&](const tbb::blocked_range<uint64_t>& r) {
    for (uint64_t i = r.begin(); i < r.end(); ++i) e[i] = {std::hash<std::string_view>{}(ids[i]), i};
  });
  tbb::parallel_sort(e.begin(), e.end(),
                     [](const Entry& a, const Entry& b) { return a.hash != b.hash ? a.hash < b.hash : a.row < b.row; });
  // Within a run of one hash (almost always a single row), a row is kept
  // unless a later row of the run has its id. Long runs (colliding ids,
  // perhaps on purpose) are sorted by id so they cost r log r, not r^2.
  std::vector<uint8_t> keep(n, 0);
  tbb::parallel_for(tbb::blocked_range<uint64_t>(0, n, 4096), [&](const tbb::blocked_range<uint64_t>& r) {
    std::vector<Entry> run;
    for (uint64_t p = r.begin(); p < r.end(); ++p) {
      if (p > 0 && e[p - 1].hash == e[p].hash) continue;  // not the start of a run
      uint64_t q = p + 1;
      while (q < n && e[q].hash == e[p].hash) ++q;
      if (q - p == 1) {
        keep[e[p].row] = 1;
        continue;
      }
      run.assign(e.begin() + static_cast<std::ptrdiff_t>(p), e.begin() + static_cast<std::ptrdiff_t>(q));
      std::sort(run.begin(), run.end(), [&](const Entry& a, const Entry& b) {
        const int c = ids[a.row].compare(ids[b.row]);
        return c != 0 ? c < 0 : a.row < b.row;
      });
      for (size_t j = 0; j < run.size(); ++j) {
        if (j + 1 == run.size() || ids[run[j].row] != ids[run[j + 1].row]) keep[run[j].row] = 1;
      }
    }
  });
  std::vector<uint64_t> kept;
  kept.reserve(n);
  for (uint64_t i = 0; i < n; ++i) {
    if (keep[i] != 0) kept.push_back(i);
  }
  return kept;
}

// Where a row's values come from: the caller's array, or its row_vector
// function writing them into a scratch row.
class Rows {
 public:
  explicit Rows(const BuildInput& in) : in_(in) {}
  bool contiguous() const { return in_.data != nullptr; }
  // Input row i's values; `scratch` (dim values) holds them when needed.
  const float* get(uint64_t i, float* scratch) const {
    if (in_.data != nullptr) return in_.data + i * in_.dim;
    in_.row_vector(i, scratch);
    return scratch;
  }

 private:
  const BuildInput& in_;
};

float MaxAbs(const Rows& rows, uint64_t n, size_t dim) {
  return tbb::parallel_reduce(
      tbb::blocked_range<uint64_t>(0, n, 1024), 0.0f,
      [&](const tbb::blocked_range<uint64_t>& r, float m) {
        std::vector<float> scratch(dim);
        for (uint64_t i = r.begin(); i < r.end(); ++i) {
          const float* x = rows.get(i, scratch.data());
          for (size_t d = 0; d < dim; ++d) {
            const float a = std::fabs(x[d]);
            if (a > m) m = a;  // NaN never wins
          }
        }
        return m;
      },
      [](float a, float b) { return std::max(a, b); });
}

// The kept rows' values copied out contiguously, in their order.
std::vector<float> Gather(const Rows& rows, const std::vector<uint64_t>& which, size_t dim) {
  std::vector<float> out(which.size() * dim);
  tbb::parallel_for(tbb::blocked_range<uint64_t>(0, which.size(), 256), [&](const tbb::blocked_range<uint64_t>& r) {
    for (uint64_t k = r.begin(); k < r.end(); ++k) {
      const float* x = rows.get(which[k], out.data() + k * dim);
      if (x != out.data() + k * dim) std::memcpy(out.data() + k * dim, x, dim * sizeof(float));
    }
  });
  return out;
}

// The centroids, and every kept row's nearest one (the kept rows'
// order). From the caller's array: k-means over all kept rows (it samples
// them itself). From row_vector: k-means over a seeded sample of them, and
// the assignment a chunk of rows at a time, so no more than the sample's
// floats are ever held.
std::vector<float> FitAndAssign(const BuildInput& in, const Rows& rows, const std::vector<uint64_t>& kept,
                                uint64_t lists, std::vector<uint32_t>* assign) {
  const size_t dim = in.dim;
  const uint64_t n = kept.size();
  KMeansParams params;
  params.n_clusters = lists;
  params.seed = in.seed;
  if (rows.contiguous()) {
    // A copy only when repeated ids dropped some rows.
    std::vector<float> compact;
    const float* data = in.data;
    if (n != in.n) {
      compact = Gather(rows, kept, dim);
      data = compact.data();
    }
    std::vector<float> centroids = kmeans(data, n, dim, params);
    *assign = assign_nearest(data, n, centroids.data(), centroids.size() / dim, dim);
    return centroids;
  }
  const uint64_t default_sample = std::max<uint64_t>(256 * lists, 65536);
  const uint64_t want = std::min({in.max_sample == 0 ? default_sample : in.max_sample, default_sample, n});
  // Selection sampling: `want` of the kept rows, in their order.
  std::vector<uint64_t> sample;
  sample.reserve(want);
  XorShift64 rng(kmeans_seed(in.seed) ^ 0x6d65726765ull);
  for (uint64_t k = 0; k < n && sample.size() < want; ++k) {
    if (rng.below(n - k) < want - sample.size()) sample.push_back(kept[k]);
  }
  std::vector<float> centroids;
  {
    const std::vector<float> data = Gather(rows, sample, dim);
    params.max_sample = sample.size();
    centroids = kmeans(data.data(), sample.size(), dim, params);
  }
  // Each task reads its own few rows and ranks them: one pass, no chunk
  // boundaries for the threads to wait at.
  const CentroidRanker ranker(centroids.data(), centroids.size() / dim, dim);
  assign->resize(n);
  tbb::parallel_for(tbb::blocked_range<uint64_t>(0, n, kAssignBlockRows), [&](const tbb::blocked_range<uint64_t>& r) {
    std::vector<float> data((r.end() - r.begin()) * dim);
    for (uint64_t k = r.begin(); k < r.end(); ++k) {
      float* out = data.data() + (k - r.begin()) * dim;
      const float* x = rows.get(kept[k], out);
      if (x != out) std::memcpy(out, x, dim * sizeof(float));
    }
    const std::vector<uint32_t> a = ranker.assign(data.data(), r.end() - r.begin());
    std::copy(a.begin(), a.end(), assign->begin() + static_cast<std::ptrdiff_t>(r.begin()));
  });
  return centroids;
}

// The stored rows in segment order: row r is input position input_of[r].
struct RowOrder {
  std::vector<uint64_t> input_of;
  std::vector<uint32_t> list_of;        // per row r
  std::vector<uint64_t> list_offsets;   // n_lists + 1
};

// Stable counting sort of the kept rows by list.
RowOrder OrderByList(const std::vector<uint64_t>& kept, const std::vector<uint32_t>& assign,
                     size_t n_lists) {
  RowOrder o;
  o.list_offsets.assign(n_lists + 1, 0);
  for (uint32_t l : assign) ++o.list_offsets[l + 1];
  for (size_t l = 0; l < n_lists; ++l) o.list_offsets[l + 1] += o.list_offsets[l];
  std::vector<uint64_t> next(o.list_offsets.begin(), o.list_offsets.end() - 1);
  o.input_of.resize(kept.size());
  o.list_of.resize(kept.size());
  for (size_t k = 0; k < kept.size(); ++k) {
    const uint64_t r = next[assign[k]]++;
    o.input_of[r] = kept[k];
    o.list_of[r] = assign[k];
  }
  return o;
}

// codes.bin (in 32-row blocks per list), metas.bin, orig.bin and
// origscale.bin, a chunk of rows at a time.
Status WriteEncodedRows(segment_writer::DataFileSet& files, const BuildInput& in, const Rows& input,
                        const RowOrder& order, const std::vector<float>& centroids, const Rotator& rot) {
  const size_t dim = in.dim;
  const size_t padded = rot.padded_dim();
  const unsigned bits = static_cast<unsigned>(in.n_bits);
  const size_t code_bytes = code_bytes_for(padded, bits);
  const uint64_t n = order.input_of.size();

  NIMBREL_ASSIGN_OR_RETURN(auto codes_w, files.open(segment::kCodesFile));
  NIMBREL_ASSIGN_OR_RETURN(auto factors_w, files.open(segment::kFactorsFile));
  NIMBREL_ASSIGN_OR_RETURN(auto rerank_w, files.open(segment::kRerankFile));
  NIMBREL_ASSIGN_OR_RETURN(auto scale_w, files.open(segment::kRerankScaleFile));

  CodeArranger arranger(order.list_offsets.data(), order.list_offsets.size() - 1, code_bytes);
  const uint64_t chunk_rows = std::min<uint64_t>(kEncodeChunkRows, n);
  std::vector<uint8_t> codes(chunk_rows * code_bytes);
  std::vector<RowFactors> factors(chunk_rows);
  std::vector<uint8_t> rerank(chunk_rows * dim);
  std::vector<uint8_t> scales(chunk_rows * segment::kScaleRecordBytes, 0);

  for (uint64_t first = 0; first < n; first += chunk_rows) {
    const uint64_t count = std::min(chunk_rows, n - first);
    tbb::parallel_for(tbb::blocked_range<uint64_t>(0, count, 64), [&](const tbb::blocked_range<uint64_t>& r) {
      std::vector<float> residual(dim), rotated(padded), scratch(dim);
      std::vector<uint8_t> copy(dim + 1);
      for (uint64_t j = r.begin(); j < r.end(); ++j) {
        const uint64_t row = first + j;
        const float* x = input.get(order.input_of[row], scratch.data());
        const float* c = centroids.data() + static_cast<size_t>(order.list_of[row]) * dim;
        for (size_t i = 0; i < dim; ++i) residual[i] = x[i] - c[i];
        rot.rotate(residual.data(), rotated.data());
        encode_rotated_residual(rotated.data(), padded, bits, codes.data() + j * code_bytes, &factors[j]);

        segment_writer::encode_rerank(x, dim, copy.data());
        std::memcpy(rerank.data() + j * dim, copy.data(), dim);
        const uint8_t e = copy[dim];
        uint8_t* rec = scales.data() + j * segment::kScaleRecordBytes;
        store_le<uint32_t>(rec, 0);  // reserved
        store_le<uint32_t>(rec + segment::kScaleExponentAt, e);
      }
    });
    for (uint64_t j = 0; j < count; ++j) {
      const auto [bytes, size] = arranger.add(codes.data() + j * code_bytes);
      if (size > 0) NIMBREL_RETURN_IF_ERROR(codes_w.Append(bytes, size));
    }
    NIMBREL_RETURN_IF_ERROR(factors_w.Append(factors.data(), count * sizeof(RowFactors)));
    NIMBREL_RETURN_IF_ERROR(rerank_w.Append(rerank.data(), count * dim));
    NIMBREL_RETURN_IF_ERROR(scale_w.Append(scales.data(), count * segment::kScaleRecordBytes));
  }
  NIMBREL_RETURN_IF_ERROR(files.commit(segment::kCodesFile, codes_w));
  NIMBREL_RETURN_IF_ERROR(files.commit(segment::kFactorsFile, factors_w));
  NIMBREL_RETURN_IF_ERROR(files.commit(segment::kRerankFile, rerank_w));
  return files.commit(segment::kRerankScaleFile, scale_w);
}

Status BuildImpl(const BuildInput& in) {
  NIMBREL_RETURN_IF_ERROR(CheckInput(in));
  const size_t dim = in.dim;
  const std::vector<uint64_t> kept = LastRowPerId(in.ids);
  const uint64_t n = kept.size();
  if (in.stored_rows != nullptr) *in.stored_rows = n;

  Manifest m;
  m.dim = dim;
  m.n = n;
  m.fit_count = n;
  m.n_bits = static_cast<uint32_t>(in.n_bits);
  m.seed = in.seed;
  m.row_format = segment::kBlockedRowFormat;
  m.pca_mean = in.pca_mean;
  m.pca_comps = in.pca_comps;
  m.quant_scale = in.quant_scale;
  const Rows rows(in);
  if (!(in.quant_scale > 0.0f)) {
    const float max_abs = in.n == 0 ? 0.0f : MaxAbs(rows, in.n, dim);
    m.quant_scale = std::max(max_abs, kMinQuantScale);
  }
  std::set<std::string> skip(in.skip.begin(), in.skip.end());
  m.skip_fields.assign(skip.begin(), skip.end());

  NIMBREL_RETURN_IF_ERROR(platform::CreateDirectories(in.dir));
  // manifest.bin marks a complete segment: take an old one away first, so
  // that a build interrupted from here on never looks complete.
  const std::string manifest_path = platform::JoinPath(in.dir, segment::kManifestFile);
  if (platform::Exists(manifest_path)) {
    NIMBREL_RETURN_IF_ERROR(platform::Unlink(manifest_path));
    // Durably gone before any new file lands beside it: otherwise a crash
    // could leave the old manifest with some of the new data files.
    NIMBREL_RETURN_IF_ERROR(platform::SyncDirectory(in.dir));
  }

  RowOrder order;
  order.list_offsets = {0};
  std::vector<float> centroids;
  if (n > 0) {
    const uint64_t lists = std::clamp<uint64_t>(in.n_clusters == 0 ? FloorSqrt(n) : in.n_clusters, 1, n);
    std::vector<uint32_t> assign;
    centroids = FitAndAssign(in, rows, kept, lists, &assign);
    // assign is over the kept rows; map back to input positions.
    order = OrderByList(kept, assign, centroids.size() / dim);
  }
  m.n_lists = order.list_offsets.size() - 1;
  m.list_offsets = order.list_offsets;
  m.centroids = centroids;

  segment_writer::DataFileSet files(in.dir);
  // Without rows there is nothing to rotate, and the rotation's tables
  // (12 bytes per dimension) would be the only thing sized by a dimension
  // the caller chose freely.
  const Rotator rot = n > 0 ? Rotator::Create(dim, in.seed, kFormatVersion) : Rotator();
  NIMBREL_RETURN_IF_ERROR(WriteEncodedRows(files, in, rows, order, centroids, rot));
  segment_writer::RowTexts texts;
  texts.n = n;
  texts.id = [&](uint64_t r) -> std::string_view { return in.ids[order.input_of[r]]; };
  texts.meta = [&](uint64_t r) -> const nlohmann::json& { return in.metadata[order.input_of[r]]; };
  if (!in.sparse.empty()) {
    texts.sparse = [&](uint64_t r) -> const std::vector<std::pair<uint32_t, float>>& {
      return in.sparse[order.input_of[r]];
    };
  }
  NIMBREL_RETURN_IF_ERROR(segment_writer::write_ids(files, texts));
  NIMBREL_RETURN_IF_ERROR(segment_writer::write_metadata(files, texts));
  NIMBREL_RETURN_IF_ERROR(segment_writer::write_sparse(files, texts));
  NIMBREL_ASSIGN_OR_RETURN(m.fields, segment_writer::write_typed_columns(files, texts, skip));
  return segment_writer::finish(files, m, 0);
}

}  // namespace

Status IvfIndex::build(const BuildInput& in) {
  // The libraries below (TBB, nlohmann, the allocator) report by throwing;
  // nothing may unwind out of the core.
  try {
    return BuildImpl(in);
  } catch (const std::bad_alloc&) {
    return Status(Code::kIoError, "build: out of memory");
  } catch (const std::exception& e) {
    return Status(Code::kIoError, std::string("build: ") + e.what());
  }
}

}  // namespace nimbrel
