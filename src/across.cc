#include "across.h"

#include <string>
#include <utility>

namespace nimbrel::py {

bool ToHandles(PyObject* o, const char* name, Kept* kept, std::vector<Handle*>* out) {
  out->clear();
  return EachItem(o, name, [&](PyObject* item) {
    Handle* h = HandleOf(item);
    if (h == nullptr) return PrefixTypeError(name);
    kept->keep(item);
    out->push_back(h);
    return true;
  });
}

bool TupleOf(PyObject* o, const char* name, Py_ssize_t n) {
  if (!PyTuple_Check(o)) return CannotConvert(o, "PyTuple") || PrefixTypeError(name);
  const Py_ssize_t got = PyTuple_Size(o);
  if (got != n) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd", n, got);
    return false;
  }
  return true;
}

std::optional<SearchErr> ObtainAll(const std::vector<Handle*>& sources,
                                   std::vector<std::shared_ptr<IvfIndex>>* segments,
                                   std::vector<const IvfIndex*>* raw) {
  segments->clear();
  raw->clear();
  for (Handle* h : sources) {
    SegmentOrErr seg = opened_search(*h);
    if (seg.err) return std::move(seg.err);
    raw->push_back(seg.segment.get());
    segments->push_back(std::move(seg.segment));
  }
  return std::nullopt;
}

bool source_queries(const std::vector<Handle*>& sources, std::string_view queries, std::vector<float>* out) {
  out->clear();
  if (sources.empty()) return true;
  const uint64_t d = sources[0]->dim;
  const size_t n = queries.size();
  // Whole vectors: n a multiple of 4 * d, tested without forming 4 * d.
  bool whole = d != 0 && n != 0 && n % 4 == 0 && (n / 4) % d == 0;
  for (const Handle* h : sources) whole = whole && h->dim == d;
  if (!whole) {
    value_err("queries must be whole " + std::to_string(d) +
              "-dim little-endian f32 vectors for sources of one dim, got " + std::to_string(n) + " bytes");
    return false;
  }
  std::vector<float> scratch;
  F32View view;
  if (auto err = as_f32_slice(queries.data(), n, n / 4, &scratch, &view)) {
    value_err(*err);
    return false;
  }
  out->assign(view.data, view.data + view.size);
  // One check over all the queries together: the norm limit applies to
  // their sum, and the index of a bad value is its place in the whole run.
  return require_finite(out->data(), out->size());
}

}  // namespace nimbrel::py
