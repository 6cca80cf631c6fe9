// Pieces shared by the static methods that take the segments of one or
// more columns as arguments and look ids up across them, newest first
// (distances_to_many, meta_status_across, meta_status_columns, nmql_fuse).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "convert.h"
#include "errors.h"
#include "handle.h"

namespace nimbrel::py {

// Python objects kept alive until the call returns (released with the
// interpreter lock held, when this goes out of scope).
class Kept {
 public:
  Kept() = default;
  Kept(const Kept&) = delete;
  Kept& operator=(const Kept&) = delete;
  ~Kept() {
    for (PyObject* o : objs_) Py_DECREF(o);
  }
  void keep(PyObject* o) {
    Py_INCREF(o);
    objs_.push_back(o);
  }
  // Takes over a reference the caller owns.
  void adopt(PyObject* o) { objs_.push_back(o); }

 private:
  std::vector<PyObject*> objs_;
};

// Walks a sequence argument (a str is refused) and gives each item to
// `each`, which reports its own failures fully formed. The walk's own type
// errors get the argument prefix.
template <typename Each>
bool EachItem(PyObject* o, const char* name, Each&& each) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return PrefixTypeError(name);
  }
  if (!PySequence_Check(o)) return CannotConvert(o, "Sequence") || PrefixTypeError(name);
  PyObject* it = PyObject_GetIter(o);
  if (it == nullptr) return PrefixTypeError(name);
  while (PyObject* item = PyIter_Next(it)) {
    const bool ok = each(item);
    Py_DECREF(item);
    if (!ok) {
      Py_DECREF(it);
      return false;
    }
  }
  Py_DECREF(it);
  return !PyErr_Occurred() || PrefixTypeError(name);
}

// A sequence of ZevireDarir objects, each kept for the call.
bool ToHandles(PyObject* o, const char* name, Kept* kept, std::vector<Handle*>* out);

// Whether `o` is a tuple of exactly `n` items. Not a tuple: the argument's
// TypeError; any other length: ValueError without the argument prefix.
bool TupleOf(PyObject* o, const char* name, Py_ssize_t n);

// The query vectors of one column as one owned run of float32 values:
// `queries` (the content of a bytes object) must hold whole vectors of the
// first source's dim, every source having that dim; the values must be
// finite and their squared norm, all vectors together, within the float32
// distance limit (require_finite). No sources: empty, the bytes unread.
// Interpreter lock held; false with ValueError set on failure.
bool source_queries(const std::vector<Handle*>& sources, std::string_view queries, std::vector<float>* out);

// Each source's current segment, in list order (interpreter lock
// released); the first failure ends it.
std::optional<SearchErr> ObtainAll(const std::vector<Handle*>& sources,
                                   std::vector<std::shared_ptr<IvfIndex>>* segments,
                                   std::vector<const IvfIndex*>* raw);

// Runs a body that reports failure as SearchErr with the interpreter lock
// released; false with the Python exception set when it failed.
template <typename Body>
bool RunReleased(Body&& body) {
  std::optional<SearchErr> err;
  if (!WithoutGil([&] { err = GuardQuery(body); })) return false;
  if (err) {
    map_search_err(std::move(*err));
    return false;
  }
  return true;
}

}  // namespace nimbrel::py
