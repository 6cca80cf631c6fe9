// search, sparse_search and search_hybrid, and the filtered scans.
//
// Arguments are converted and the queries checked with the interpreter lock
// held; then the lock is released once, around the refresh of the segment,
// the filter compilation, the search and the id lookups; only the Python
// result list is built after it is taken back.
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "convert.h"
#include "handle.h"

namespace nimbrel::py {

namespace {

// None, "" and exactly "null" mean "no filter"; anything else is compiled.
bool IsNoFilter(const std::optional<std::string>& text) {
  return !text || text->empty() || *text == "null";
}

struct IdHit {
  std::string id;
  float dist;
};

// The frame of the searches: with the interpreter lock released, the
// segment is brought up to date, the filter compiled, and `run` given both;
// it turns its rows into ids itself. Failures come back as SearchErr.
template <typename Run>
std::optional<SearchErr> SearchFrame(Handle& h, const std::optional<std::string>& filter_json, Run&& run) {
  std::optional<SearchErr> err;
  if (!WithoutGil([&] {
        err = GuardQuery([&]() -> std::optional<SearchErr> {
          SegmentOrErr seg = opened_search(h);
          if (seg.err) return std::move(seg.err);
          std::shared_ptr<const Predicate> filter;
          if (!IsNoFilter(filter_json)) {
            auto compiled = CallCore([&] { return seg.segment->compile_filter_cached(*filter_json); });
            if (!compiled.ok()) return SearchErr::Invalid(compiled.status().message());
            filter = std::move(compiled).value();
          }
          run(*seg.segment, filter.get());
          return std::nullopt;
        });
      })) {
    return SearchErr::Runtime("");  // the panic exception is already set
  }
  return err;
}

PyObject* HitsToList(const std::vector<IdHit>& hits) {
  return ListOf(hits, [](const IdHit& hit) {
    return Py_BuildValue("(Nd)", TextObject(hit.id), static_cast<double>(hit.dist));
  });
}

// The filtered scans share the searches' frame.
template <typename Scan>
std::optional<SearchErr> ScanFrame(Handle& h, const std::optional<std::string>& filter_json, Scan&& scan) {
  return SearchFrame(h, filter_json, std::forward<Scan>(scan));
}

// Parses the optional `filter_json` argument of a scan method.
bool ParseFilterArg(PyObject* args, PyObject* kw, const char* format, std::optional<std::string>* text) {
  static const char* kKeywords[] = {"filter_json", nullptr};
  PyObject* py_filter = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, format, const_cast<char**>(kKeywords), &py_filter)) return false;
  return ToOptString(py_filter, "filter_json", text);
}

// The dense query of a search: `dim` finite values, read in place when it
// can be; false with the exception set.
bool ToQuery(const Handle& h, PyObject* py_query, std::vector<float>* scratch, F32View* query) {
  if (!ToVectorArg(py_query, h.dim, scratch, query)) return false;
  if (query->size != h.dim) {
    value_err("query dim " + std::to_string(query->size) + " != " + std::to_string(h.dim));
    return false;
  }
  return require_finite(query->data, query->size);
}

}  // namespace

PyObject* MethodIdsMatching(PyObject* self, PyObject* args, PyObject* kw) {
  Handle* h = HandleOf(self);
  std::optional<std::string> filter_json;
  if (h == nullptr || !ParseFilterArg(args, kw, "|O:ids_matching", &filter_json)) return nullptr;
  std::vector<std::string> ids;
  auto err = ScanFrame(*h, filter_json, [&](const IvfIndex& seg, const Predicate* f) { ids = seg.ids_matching(f); });
  if (err) return PyErr_Occurred() ? nullptr : map_search_err(std::move(*err));
  return TextList(ids);
}

PyObject* MethodCountMatching(PyObject* self, PyObject* args, PyObject* kw) {
  Handle* h = HandleOf(self);
  std::optional<std::string> filter_json;
  if (h == nullptr || !ParseFilterArg(args, kw, "|O:count_matching", &filter_json)) return nullptr;
  uint64_t count = 0;
  auto err = ScanFrame(*h, filter_json, [&](const IvfIndex& seg, const Predicate* f) { count = seg.count_matching(f); });
  if (err) return PyErr_Occurred() ? nullptr : map_search_err(std::move(*err));
  return PyLong_FromUnsignedLongLong(count);
}

PyObject* MethodExistsMatching(PyObject* self, PyObject* args, PyObject* kw) {
  Handle* h = HandleOf(self);
  std::optional<std::string> filter_json;
  if (h == nullptr || !ParseFilterArg(args, kw, "|O:exists_matching", &filter_json)) return nullptr;
  bool exists = false;
  auto err = ScanFrame(*h, filter_json, [&](const IvfIndex& seg, const Predicate* f) { exists = seg.exists_matching(f); });
  if (err) return PyErr_Occurred() ? nullptr : map_search_err(std::move(*err));
  return PyBool_FromLong(exists ? 1 : 0);
}

PyObject* MethodIdsMatchingLimit(PyObject* self, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"filter_json", "limit", nullptr};
  PyObject *py_filter = nullptr, *py_limit = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "OO:ids_matching_limit", const_cast<char**>(kKeywords), &py_filter,
                                   &py_limit)) {
    return nullptr;
  }
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  std::optional<std::string> filter_json;
  uint64_t limit = 0;
  if (!ToOptString(py_filter, "filter_json", &filter_json) || !ToU64(py_limit, "limit", &limit)) return nullptr;
  std::vector<std::string> ids;
  auto err = ScanFrame(*h, filter_json,
                       [&](const IvfIndex& seg, const Predicate* f) { ids = seg.ids_matching_limit(f, limit); });
  if (err) return PyErr_Occurred() ? nullptr : map_search_err(std::move(*err));
  return TextList(ids);
}

PyObject* MethodSearch(PyObject* self, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"query",  "k", "nprobe", "rerank", "filter_json",
                                    "ensure_target_k", nullptr};
  PyObject *py_query = nullptr, *py_k = nullptr, *py_nprobe = nullptr, *py_rerank = nullptr,
           *py_filter = nullptr, *py_ensure = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "OO|OOOO:search", const_cast<char**>(kKeywords),
                                   &py_query, &py_k, &py_nprobe, &py_rerank, &py_filter,
                                   &py_ensure)) {
    return nullptr;
  }
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;

  uint64_t k = 0, nprobe = 32, rerank = 400;
  std::optional<std::string> filter_json;
  bool ensure_target_k = false;
  if (!ToU64(py_k, "k", &k)) return nullptr;
  if (py_nprobe != nullptr && !ToU64(py_nprobe, "nprobe", &nprobe)) return nullptr;
  if (py_rerank != nullptr && !ToU64(py_rerank, "rerank", &rerank)) return nullptr;
  if (!ToOptString(py_filter, "filter_json", &filter_json)) return nullptr;
  if (py_ensure != nullptr && !ToBool(py_ensure, "ensure_target_k", &ensure_target_k)) return nullptr;

  // The query last: it may be large, and is read in place when it can be.
  std::vector<float> scratch;
  F32View query;
  if (!ToQuery(*h, py_query, &scratch, &query)) return nullptr;

  std::vector<IdHit> hits;
  auto err = SearchFrame(*h, filter_json, [&](const IvfIndex& seg, const Predicate* filter) {
    std::vector<Hit> rows = seg.search_core(query.data, k, nprobe, rerank, filter, ensure_target_k);
    hits.reserve(rows.size());
    for (const Hit& hit : rows) hits.push_back({seg.ext_of(hit.row), hit.dist});
  });
  if (err) return PyErr_Occurred() ? nullptr : map_search_err(std::move(*err));
  return HitsToList(hits);
}

namespace {

std::vector<IdHit> IdsOf(const IvfIndex& seg, const std::vector<ScoredHit>& rows) {
  std::vector<IdHit> hits;
  hits.reserve(rows.size());
  for (const ScoredHit& hit : rows) hits.push_back({seg.ext_of(hit.row), hit.score});
  return hits;
}

}  // namespace

PyObject* MethodSparseSearch(PyObject* self, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"sparse_query", "k", "filter_json", nullptr};
  PyObject *py_sparse = nullptr, *py_k = nullptr, *py_filter = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "OO|O:sparse_search", const_cast<char**>(kKeywords), &py_sparse,
                                   &py_k, &py_filter)) {
    return nullptr;
  }
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  SparseRow sparse;
  uint64_t k = 0;
  std::optional<std::string> filter_json;
  if (!ToSparseRow(py_sparse, "sparse_query", &sparse) || !ToU64(py_k, "k", &k) ||
      !ToOptString(py_filter, "filter_json", &filter_json) || !require_finite_sparse(sparse)) {
    return nullptr;
  }
  std::vector<IdHit> hits;
  auto err = SearchFrame(*h, filter_json, [&](const IvfIndex& seg, const Predicate* filter) {
    hits = IdsOf(seg, seg.sparse_rank(sparse, k, filter));
  });
  if (err) return PyErr_Occurred() ? nullptr : map_search_err(std::move(*err));
  return HitsToList(hits);
}

PyObject* MethodSearchHybrid(PyObject* self, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"query",       "sparse_query", "k",     "nprobe", "rerank",
                                    "filter_json", "rrf_k",        "ensure_target_k", nullptr};
  PyObject *py_query = nullptr, *py_sparse = nullptr, *py_k = nullptr, *py_nprobe = nullptr, *py_rerank = nullptr,
           *py_filter = nullptr, *py_rrf_k = nullptr, *py_ensure = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "OOO|OOOOO:search_hybrid", const_cast<char**>(kKeywords), &py_query,
                                   &py_sparse, &py_k, &py_nprobe, &py_rerank, &py_filter, &py_rrf_k, &py_ensure)) {
    return nullptr;
  }
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  SparseRow sparse;
  uint64_t k = 0, nprobe = 64, rerank = 500;
  std::optional<std::string> filter_json;
  float rrf_k = 60.0f;
  bool ensure_target_k = false;
  if (!ToSparseRow(py_sparse, "sparse_query", &sparse) || !ToU64(py_k, "k", &k)) return nullptr;
  if (py_nprobe != nullptr && !ToU64(py_nprobe, "nprobe", &nprobe)) return nullptr;
  if (py_rerank != nullptr && !ToU64(py_rerank, "rerank", &rerank)) return nullptr;
  if (!ToOptString(py_filter, "filter_json", &filter_json)) return nullptr;
  if (py_rrf_k != nullptr && !ToF32(py_rrf_k, "rrf_k", &rrf_k)) return nullptr;
  if (py_ensure != nullptr && !ToBool(py_ensure, "ensure_target_k", &ensure_target_k)) return nullptr;

  std::vector<float> scratch;
  F32View query;
  if (!ToQuery(*h, py_query, &scratch, &query) || !require_finite_sparse(sparse)) return nullptr;
  // Positive subnormals pass: 1 / (rrf_k + r + 1) stays finite for them.
  if (!(std::isfinite(rrf_k) && rrf_k > 0.0f)) {
    return value_err("rrf_k must be a finite positive number, got " + FormatFloat(rrf_k));
  }

  std::vector<IdHit> hits;
  auto err = SearchFrame(*h, filter_json, [&](const IvfIndex& seg, const Predicate* filter) {
    hits = IdsOf(seg, seg.search_hybrid(query.data, sparse, k, nprobe, rerank, filter, rrf_k, ensure_target_k));
  });
  if (err) return PyErr_Occurred() ? nullptr : map_search_err(std::move(*err));
  return HitsToList(hits);
}

}  // namespace nimbrel::py
