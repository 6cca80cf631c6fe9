// build(vectors, n, ids, metadatas, n_clusters, seed=42, sparse=None,
//       skip_index=None, pca=None, quant_scale=0.0)
//
// Replaces whatever the directory holds by a freshly built segment. Over
// an existing segment the new one is written to "<dir>.compacting" and
// swapped in, so a crash at any point leaves either the old or the new
// segment for recover() to find; a directory without a segment is built
// in place. Everything is checked before the exclusive directory lock is
// taken, except the metadata JSON, which is parsed without the interpreter
// lock because it can be large.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <atomic>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "convert.h"
#include "handle.h"
#include "ivf_rabitq/json_text.h"
#include "ivf_rabitq/segment_format.h"
#include "ivf_rabitq/storage.h"

namespace nimbrel::py {

namespace {

using nlohmann::json;

constexpr uint64_t kNoIndex = std::numeric_limits<uint64_t>::max();

// Lowers `best` to `candidate` if smaller; the parallel loops below report
// the lowest failing index whatever the order the chunks ran in.
void StoreMin(std::atomic<uint64_t>& best, uint64_t candidate) {
  uint64_t cur = best.load(std::memory_order_relaxed);
  while (candidate < cur && !best.compare_exchange_weak(cur, candidate, std::memory_order_relaxed)) {
  }
}

// The flat index of the first non-finite value, or kNoIndex. Chunks hold
// whole rows of about 64 Ki values; a chunk starting past an index already
// found is skipped.
uint64_t FirstNonFinite(const float* values, uint64_t n, uint64_t dim) {
  const uint64_t total = n * dim;
  if (total == 0) return kNoIndex;
  const uint64_t chunk = dim * (65536 / dim + 1);
  const uint64_t n_chunks = (total + chunk - 1) / chunk;
  std::atomic<uint64_t> best{kNoIndex};
  tbb::parallel_for(tbb::blocked_range<uint64_t>(0, n_chunks, 1), [&](const tbb::blocked_range<uint64_t>& r) {
    for (uint64_t c = r.begin(); c != r.end(); ++c) {
      const uint64_t begin = c * chunk;
      if (begin >= best.load(std::memory_order_relaxed)) return;
      const uint64_t end = std::min(total, begin + chunk);
      for (uint64_t i = begin; i < end; ++i) {
        if (IsNonFinite(values[i])) {
          StoreMin(best, i);
          break;
        }
      }
    }
  });
  return best.load();
}

// Parses every metadata text; the first (lowest-index) text that is not
// JSON, or nests deeper than stored metadata may, fails the build.
Status ParseMetadata(const std::vector<std::string>& texts, std::vector<json>* out) {
  out->assign(texts.size(), json());
  std::atomic<uint64_t> bad{kNoIndex};
  tbb::parallel_for(tbb::blocked_range<size_t>(0, texts.size(), 256), [&](const tbb::blocked_range<size_t>& r) {
    for (size_t i = r.begin(); i != r.end(); ++i) {
      if (i >= bad.load(std::memory_order_relaxed)) return;
      json v = parse_json_text(texts[i]);
      if (v.is_discarded() || nested_deeper_than(v, kMaxMetadataDepth)) {
        StoreMin(bad, i);
        return;
      }
      (*out)[i] = std::move(v);
    }
  });
  uint64_t i = bad.load();
  if (i == kNoIndex) return Status::Ok();
  // Only the failing text is parsed again, to say why it failed.
  std::string why = parse_json_text(texts[i]).is_discarded()
                        ? json_parse_error(texts[i])
                        : "nested more than " + std::to_string(kMaxMetadataDepth) + " levels deep";
  return Status::InvalidData("build: metadata[" + std::to_string(i) + "] is not valid JSON (" + why +
                             "); pass \"{}\" or \"null\" explicitly");
}

struct BuildArgs {
  const char* bytes = nullptr;
  size_t byte_len = 0;
  uint64_t n = 0;
  std::vector<std::string> ids;
  std::vector<std::string> metadatas;
  uint64_t n_clusters = 0;
  uint64_t seed = 42;
  std::vector<SparseRow> sparse;
  bool has_sparse = false;
  std::vector<std::string> skip_index;
  Pca pca;
  float quant_scale = 0.0f;
};

bool ConvertArgs(PyObject* const* py, BuildArgs* a) {
  // py: vectors, n, ids, metadatas, n_clusters, seed, sparse, skip_index, pca, quant_scale
  if (!ToBytes(py[0], "vectors", &a->bytes, &a->byte_len)) return false;
  if (!ToU64(py[1], "n", &a->n)) return false;
  if (!ToStringVec(py[2], "ids", &a->ids)) return false;
  if (!ToStringVec(py[3], "metadatas", &a->metadatas)) return false;
  if (!ToU64(py[4], "n_clusters", &a->n_clusters)) return false;
  if (py[5] != nullptr && !ToU64(py[5], "seed", &a->seed)) return false;
  if (py[6] != nullptr && py[6] != Py_None) {
    if (!ToSparseRows(py[6], "sparse", &a->sparse)) return false;
    a->has_sparse = true;
  }
  if (py[7] != nullptr && py[7] != Py_None && !ToStringVec(py[7], "skip_index", &a->skip_index)) {
    return false;
  }
  if (!ToPca(py[8], "pca", &a->pca)) return false;
  if (py[9] != nullptr && !ToF32(py[9], "quant_scale", &a->quant_scale)) return false;
  return true;
}

// The decimal text of a product of u64 factors, exact however large.
std::string ProductText(std::initializer_list<uint64_t> factors) {
  std::vector<uint32_t> digits{1};  // little-endian base 10^9
  for (uint64_t f : factors) {
    unsigned __int128 carry = 0;
    for (uint32_t& d : digits) {
      unsigned __int128 v = static_cast<unsigned __int128>(d) * f + carry;
      d = static_cast<uint32_t>(v % 1000000000u);
      carry = v / 1000000000u;
    }
    while (carry != 0) {
      digits.push_back(static_cast<uint32_t>(carry % 1000000000u));
      carry /= 1000000000u;
    }
  }
  while (digits.size() > 1 && digits.back() == 0) digits.pop_back();
  std::string out = std::to_string(digits.back());
  for (size_t i = digits.size() - 1; i-- > 0;) {
    std::string part = std::to_string(digits[i]);
    out += std::string(9 - part.size(), '0') + part;
  }
  return out;
}

std::string LenMismatch(const char* what, size_t len, uint64_t n) {
  return std::string(what) + " length " + std::to_string(len) + " != n " + std::to_string(n);
}

}  // namespace

PyObject* MethodBuild(PyObject* self, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"vectors", "n",      "ids",        "metadatas", "n_clusters",
                                    "seed",    "sparse", "skip_index", "pca",       "quant_scale",
                                    nullptr};
  PyObject* py[10] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kw, "OOOOO|OOOOO:build", const_cast<char**>(kKeywords),
                                   &py[0], &py[1], &py[2], &py[3], &py[4], &py[5], &py[6], &py[7],
                                   &py[8], &py[9])) {
    return nullptr;
  }
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  BuildArgs a;
  if (!ConvertArgs(py, &a)) return nullptr;
  const uint64_t dim = h->dim;

  // ---- checks, interpreter lock held (except the scan) ----
  uint64_t expected_bytes = 0;
  bool fits = !__builtin_mul_overflow(a.n, dim, &expected_bytes) &&
              !__builtin_mul_overflow(expected_bytes, uint64_t{4}, &expected_bytes);
  if (!fits || expected_bytes != a.byte_len) {
    return value_err("vectors bytes " + std::to_string(a.byte_len) + " != n*dim*4 " +
                     ProductText({a.n, dim, 4}));
  }
  if (a.ids.size() != a.n) return value_err(LenMismatch("ids", a.ids.size(), a.n));
  if (a.metadatas.size() != a.n) return value_err(LenMismatch("metadatas", a.metadatas.size(), a.n));
  if (a.has_sparse && !a.sparse.empty() && a.sparse.size() != a.n) {
    return value_err(LenMismatch("sparse", a.sparse.size(), a.n));
  }
  std::vector<float> scratch;
  F32View values;
  if (auto err = as_f32_slice(a.bytes, a.byte_len, a.n * dim, &scratch, &values)) return value_err(*err);

  uint64_t bad = kNoIndex;
  if (!WithoutGil([&] { bad = FirstNonFinite(values.data, a.n, dim); })) return nullptr;
  if (bad != kNoIndex) {
    return value_err(non_finite_err("vector " + std::to_string(bad / dim), bad % dim, values.data[bad]));
  }
  for (const SparseRow& row : a.sparse) {
    if (!require_finite_sparse_write(row)) return nullptr;
  }

  // ---- exclusive directory lock, held to the end in every outcome ----
  std::optional<platform::File> lock;
  if (!LockExclusive(*h, &lock)) return nullptr;

  const std::string live = h->path;
  const bool swap_mode = platform::Exists(platform::JoinPath(live, segment::kManifestFile));
  const std::string target = swap_mode ? sibling(live, ".compacting") : live;
  const uint64_t new_generation = storage::read_generation(live) + 1;
  if (swap_mode) (void)platform::RemoveAll(target);

  Status built;
  if (!WithoutGil([&] {
        built = CallCore([&]() -> Status {
          BuildInput in;
          NIMBREL_RETURN_IF_ERROR(ParseMetadata(a.metadatas, &in.metadata));
          in.dir = target;
          in.data = values.data;
          in.data_len = values.size;
          in.n = a.n;
          in.dim = dim;
          in.ids = std::move(a.ids);
          in.sparse = std::move(a.sparse);
          in.skip = std::move(a.skip_index);
          in.pca_mean = std::move(a.pca.mean);
          in.pca_comps = std::move(a.pca.comps);
          in.n_clusters = a.n_clusters;
          in.n_bits = h->n_bits;
          in.seed = a.seed;
          in.quant_scale = a.quant_scale;
          NIMBREL_RETURN_IF_ERROR(IvfIndex::build(in));
          if (!swap_mode) return Status::Ok();
          // Handles elsewhere notice the new segment by its generation.
          return storage::write_generation(target, new_generation);
        });
      })) {
    return nullptr;
  }
  if (!built.ok()) return io_err(built);

  if (!swap_mode) {
    Status st = reload_after_bump(*h);
    if (!st.ok()) return io_err(st);
    Py_RETURN_NONE;
  }

  if (!swap_in(*h, target)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace nimbrel::py
