// Per-id reads: get_meta, get_meta_bounded, has_ids, get_vectors,
// get_sparse; and pca_basis.
//
// The arguments are converted first; opened_off_gil brings the segment up
// to date; the lookups run with the interpreter lock released, and the
// result objects are built once it is taken back.
#include <optional>
#include <string>
#include <vector>

#include "convert.h"
#include "handle.h"

namespace nimbrel::py {

namespace {

constexpr const char* kOverBudget = "search result exceeds max_result_bytes";

// The common frame of a read that takes only `ids`: convert them, bring
// the segment up to date, run `lookup` on it without the interpreter lock.
// False with the exception set on failure.
template <typename R, typename Lookup>
bool ReadByIds(PyObject* self, PyObject* args, PyObject* kw, const char* format, Lookup&& lookup, R* out) {
  static const char* kKeywords[] = {"ids", nullptr};
  PyObject* py_ids = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, format, const_cast<char**>(kKeywords), &py_ids)) return false;
  Handle* h = HandleOf(self);
  if (h == nullptr) return false;
  std::vector<std::string> ids;
  if (!ToStringVec(py_ids, "ids", &ids)) return false;
  std::shared_ptr<IvfIndex> seg = opened_off_gil(*h);
  if (!seg) return false;
  return WithoutGil([&] { *out = lookup(*seg, ids); });
}

}  // namespace

PyObject* MethodGetMeta(PyObject* self, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"ids", "max_result_bytes", nullptr};
  PyObject *py_ids = nullptr, *py_budget = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "O|O:get_meta", const_cast<char**>(kKeywords), &py_ids, &py_budget)) {
    return nullptr;
  }
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  std::vector<std::string> ids;
  if (!ToStringVec(py_ids, "ids", &ids)) return nullptr;
  std::optional<uint64_t> budget;
  if (py_budget != nullptr && py_budget != Py_None) {
    uint64_t v;
    if (!ToU64(py_budget, "max_result_bytes", &v)) return nullptr;
    budget = v;
  }
  std::shared_ptr<IvfIndex> seg = opened_off_gil(*h);
  if (!seg) return nullptr;
  std::vector<std::string> texts;
  bool over = false;
  if (!WithoutGil([&] {
        if (!budget) {
          texts = seg->get_metas(ids);
          return;
        }
        std::optional<IvfIndex::LimitedMeta> r = seg->get_meta_limited(ids, *budget, true, false);
        if (!r) {
          over = true;
        } else {
          texts = std::move(r->texts);
        }
      })) {
    return nullptr;
  }
  if (over) return value_err(kOverBudget);
  return TextList(texts);
}

PyObject* MethodGetMetaBounded(PyObject* self, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"ids", "max_result_bytes", "fast_upper", nullptr};
  PyObject *py_ids = nullptr, *py_budget = nullptr, *py_fast = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "OO|O:get_meta_bounded", const_cast<char**>(kKeywords), &py_ids,
                                   &py_budget, &py_fast)) {
    return nullptr;
  }
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  std::vector<std::string> ids;
  uint64_t budget = 0;
  bool fast_upper = false;
  if (!ToStringVec(py_ids, "ids", &ids) || !ToU64(py_budget, "max_result_bytes", &budget)) return nullptr;
  if (py_fast != nullptr && !ToBool(py_fast, "fast_upper", &fast_upper)) return nullptr;
  std::shared_ptr<IvfIndex> seg = opened_off_gil(*h);
  if (!seg) return nullptr;
  std::optional<IvfIndex::LimitedMeta> r;
  if (!WithoutGil([&] { r = seg->get_meta_limited(ids, budget, false, fast_upper); })) return nullptr;
  if (!r) return value_err(kOverBudget);
  PyObject* list = TextList(r->texts);
  if (list == nullptr) return nullptr;
  return Py_BuildValue("(NKK)", list, static_cast<unsigned long long>(r->cost),
                       static_cast<unsigned long long>(r->nulls));
}

PyObject* MethodHasIds(PyObject* self, PyObject* args, PyObject* kw) {
  std::vector<bool> found;
  if (!ReadByIds(self, args, kw, "O:has_ids",
                 [](const IvfIndex& seg, const std::vector<std::string>& ids) { return seg.has_ids(ids); }, &found)) {
    return nullptr;
  }
  return ListOf(found, [](bool b) { return PyBool_FromLong(b ? 1 : 0); });
}

PyObject* MethodGetVectors(PyObject* self, PyObject* args, PyObject* kw) {
  std::vector<std::vector<float>> vectors;
  if (!ReadByIds(self, args, kw, "O:get_vectors",
                 [](const IvfIndex& seg, const std::vector<std::string>& ids) { return seg.get_vectors(ids); },
                 &vectors)) {
    return nullptr;
  }
  return ListOf(vectors, FloatList);
}

PyObject* MethodGetSparse(PyObject* self, PyObject* args, PyObject* kw) {
  std::vector<std::vector<std::pair<uint32_t, float>>> rows;
  if (!ReadByIds(self, args, kw, "O:get_sparse",
                 [](const IvfIndex& seg, const std::vector<std::string>& ids) { return seg.get_sparse(ids); }, &rows)) {
    return nullptr;
  }
  return ListOf(rows, [](const std::vector<std::pair<uint32_t, float>>& row) {
    return ListOf(row, [](const std::pair<uint32_t, float>& p) {
      return Py_BuildValue("(kd)", static_cast<unsigned long>(p.first), static_cast<double>(p.second));
    });
  });
}

PyObject* MethodAggregateByIds(PyObject* self, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"field", "ids", nullptr};
  PyObject *py_field = nullptr, *py_ids = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "OO:aggregate_by_ids", const_cast<char**>(kKeywords), &py_field,
                                   &py_ids)) {
    return nullptr;
  }
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  std::string field;
  std::vector<std::string> ids;
  if (!ToString(py_field, "field", &field) || !ToStringVec(py_ids, "ids", &ids)) return nullptr;
  std::optional<IvfIndex::Aggregate> result;
  std::optional<SearchErr> err;
  if (!WithoutGil([&] {
        err = GuardQuery([&]() -> std::optional<SearchErr> {
          SegmentOrErr seg = opened_search(*h);
          if (seg.err) return std::move(seg.err);
          result = seg.segment->aggregate_by_ids(field, ids);
          return std::nullopt;
        });
      })) {
    return nullptr;
  }
  if (err) return map_search_err(std::move(*err));
  if (!result) Py_RETURN_NONE;
  PyObject* counts = PyDict_New();
  if (counts == nullptr) return nullptr;
  for (const auto& [text, n] : result->counts) {
    PyObject* key = TextObject(text);
    PyObject* value = PyLong_FromUnsignedLongLong(n);
    const bool ok = key != nullptr && value != nullptr && PyDict_SetItem(counts, key, value) == 0;
    Py_XDECREF(key);
    Py_XDECREF(value);
    if (!ok) {
      Py_DECREF(counts);
      return nullptr;
    }
  }
  PyObject* resolved = U64List(result->resolved);
  if (resolved == nullptr) {
    Py_DECREF(counts);
    return nullptr;
  }
  return Py_BuildValue("(NN)", counts, resolved);
}

PyObject* MethodPcaBasis(PyObject* self, PyObject*) {
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  std::shared_ptr<IvfIndex> seg = opened_off_gil(*h);
  if (!seg) return nullptr;
  const Manifest& m = seg->manifest();
  if (m.pca_mean.empty() || m.pca_comps.empty()) Py_RETURN_NONE;
  PyObject* mean = FloatList(m.pca_mean);
  if (mean == nullptr) return nullptr;
  PyObject* comps = FloatList(m.pca_comps);
  if (comps == nullptr) {
    Py_DECREF(mean);
    return nullptr;
  }
  return Py_BuildValue("(NN)", mean, comps);
}

}  // namespace nimbrel::py
