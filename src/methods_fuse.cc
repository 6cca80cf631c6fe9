// nmql_fuse: the multi-column fusion of the host's query language in one
// call. The clause hits are pooled into a row x column table (fuse_pool.h),
// the gaps of each column are filled by id lookups in that column's
// segments, newest first, and the rows are scored and cut to `top`.
//
// Everything that reads a Python object (the arguments, the tombstone
// sets, the query bytes) happens with the interpreter lock held, before
// the lookups. The lock is then released once, around the lookups and the
// scoring, and only when some row needs a lookup: a query whose rows all
// have hits in every column never leaves the lock or touches a segment.
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "across.h"
#include "convert.h"
#include "fuse_pool.h"
#include "handle.h"

namespace nimbrel::py {

namespace {

using fuse::Clause;
using fuse::Hit;
using fuse::Pool;
using fuse::Prefer;

// A clause as converted, its hits still the caller's list.
struct ClauseArg {
  uint64_t column = 0;
  double weight = 0.0;
  bool required = false;
  PyObject* hits = nullptr;  // a list, kept
};

struct PreferArg {
  double factor = 0.0;
  double divisor = 0.0;
  PyObject* hits = nullptr;  // a list, kept
};

struct FillArg {
  std::vector<Handle*> sources;  // newest first, kept
  PyObject* tombstones = nullptr;  // null for None; kept
  std::vector<std::pair<double, std::string_view>> queries;  // weight, bytes kept
};

// The lookups of one column.
struct FillJob {
  size_t column = 0;
  std::vector<size_t> rows;  // ascending
  std::vector<uint8_t> alive;  // per entry of `rows`
  std::vector<std::pair<double, std::vector<float>>> queries;  // weight, whole vectors
  const std::vector<Handle*>* sources = nullptr;
};

bool ToHitsList(PyObject* o, const char* name, Kept* kept, PyObject** out) {
  if (!PyList_Check(o)) return CannotConvert(o, "PyList") || PrefixTypeError(name);
  kept->keep(o);
  *out = o;
  return true;
}

// The (id, distance) pairs of a hits list, each item a tuple of at least
// two items (the rest ignored). With `objects`, each id object is kept
// there with a new reference. The list is read by index up to the shorter
// of its length at the start and its current one, so that a distance's
// __float__ that shrinks the list cannot make it read past the end.
bool FuseHits(PyObject* list, std::vector<Hit>* hits, std::vector<PyObject*>* objects) {
  const Py_ssize_t start = PyList_Size(list);
  hits->reserve(static_cast<size_t>(start));
  if (objects != nullptr) objects->reserve(static_cast<size_t>(start));
  for (Py_ssize_t i = 0; i < start && i < PyList_Size(list); ++i) {
    PyObject* item = PyList_GetItem(list, i);
    Py_INCREF(item);  // the list may drop it while its distance converts
    Hit hit;
    PyObject* id = nullptr;  // borrowed from `item`
    bool ok = PyTuple_Check(item) || CannotConvert(item, "PyTuple");
    if (ok) {
      id = PyTuple_GetItem(item, 0);
      ok = id != nullptr && (PyUnicode_Check(id) || CannotConvert(id, "PyString")) && AsString(id, &hit.id);
    }
    if (ok) {
      PyObject* distance = PyTuple_GetItem(item, 1);
      ok = distance != nullptr && AsF64(distance, &hit.distance);
    }
    if (ok) Py_INCREF(id);
    Py_DECREF(item);
    if (!ok) return false;
    hits->push_back(std::move(hit));
    if (objects != nullptr) {
      objects->push_back(id);
    } else {
      Py_DECREF(id);
    }
  }
  return true;
}

// The ban set's ids: any iterable of str (a str bans its characters).
bool BanIds(PyObject* ban, std::vector<std::string>* out) {
  PyObject* it = PyObject_GetIter(ban);
  if (it == nullptr) return false;
  while (PyObject* item = PyIter_Next(it)) {
    std::string id;
    const bool ok = (PyUnicode_Check(item) || CannotConvert(item, "PyString")) && AsString(item, &id);
    Py_DECREF(item);
    if (!ok) {
      Py_DECREF(it);
      return false;
    }
    out->push_back(std::move(id));
  }
  Py_DECREF(it);
  return !PyErr_Occurred();
}

// Which rows of a job are alive: all when there are no tombstones or the
// set is empty, else those whose id object (as the host passed it in the
// hit that pooled the row) is not `in` the set.
bool AliveRows(PyObject* tombstones, const std::vector<size_t>& rows, const std::vector<PyObject*>& row_ids,
               std::vector<uint8_t>* alive) {
  alive->assign(rows.size(), 1);
  if (tombstones == nullptr) return true;
  const Py_ssize_t n = PyObject_Size(tombstones);
  if (n < 0) return false;
  if (n == 0) return true;
  for (size_t j = 0; j < rows.size(); ++j) {
    const int in = PySequence_Contains(tombstones, row_ids[rows[j]]);
    if (in < 0) return false;
    (*alive)[j] = in == 0;
  }
  return true;
}

// Runs one column's lookups (interpreter lock released) and fills its
// cells: per row, the nearest distance over the query entries (the first
// entry wins a tie), from the newest source holding the id live.
std::optional<SearchErr> RunJob(const FillJob& job, const std::vector<std::string_view>& ids, bool parallel,
                                Pool* pool) {
  std::vector<std::shared_ptr<IvfIndex>> segments;
  std::vector<const IvfIndex*> raw;
  // Every source is obtained first, even when no row is alive, so that a
  // source without a segment fails the call whatever the rows.
  if (auto err = ObtainAll(*job.sources, &segments, &raw)) return err;
  std::vector<std::string_view> asked;
  for (size_t j = 0; j < job.rows.size(); ++j) {
    if (job.alive[j] != 0) asked.push_back(ids[job.rows[j]]);
  }
  // All entries in one pass over the sources: each id is resolved once
  // per source, however many entries the column has.
  std::vector<std::vector<float>> got;
  if (!asked.empty() && !raw.empty()) {
    std::vector<IvfIndex::QuerySet> sets;
    for (const auto& entry : job.queries) sets.push_back({entry.second.data(), entry.second.size()});
    got = IvfIndex::distances_across_sets(raw, asked, sets, parallel);
  }
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> best(job.rows.size(), kNaN), best_weight(job.rows.size(), 0.0);
  for (size_t q = 0; q < job.queries.size(); ++q) {
    const double w = job.queries[q].first;
    size_t k = 0;
    for (size_t j = 0; j < job.rows.size(); ++j) {
      double d = kNaN;
      if (job.alive[j] != 0) {
        if (!got.empty()) d = static_cast<double>(got[q][k]);
        ++k;
      }
      // The nearest entry wins; a tie keeps the earlier one.
      if (q == 0 || d < best[j] || std::isnan(best[j])) {
        best[j] = d;
        best_weight[j] = w;
      }
    }
  }
  segments.clear();
  pool->fill(job.column, job.rows, best, best_weight);
  return std::nullopt;
}

// f64 values as their little-endian bytes.
PyObject* F64Bytes(const std::vector<double>& values) {
  PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(values.size() * 8));
  if (out == nullptr) return nullptr;
  char* dst = PyBytes_AsString(out);
  if constexpr (std::endian::native == std::endian::little) {
    if (!values.empty()) std::memcpy(dst, values.data(), values.size() * 8);
  } else {
    for (size_t i = 0; i < values.size(); ++i) {
      uint64_t bits;
      std::memcpy(&bits, &values[i], 8);
      for (int b = 0; b < 8; ++b) dst[i * 8 + b] = static_cast<char>(bits >> (8 * b));
    }
  }
  return out;
}

PyObject* U8Bytes(const std::vector<uint8_t>& values) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                   static_cast<Py_ssize_t>(values.size()));
}

// A tuple of the given new references; null (all released) when any is.
template <size_t N>
PyObject* TupleOfNew(const std::array<PyObject*, N>& items) {
  for (PyObject* o : items) {
    if (o != nullptr) continue;
    for (PyObject* p : items) Py_XDECREF(p);
    return nullptr;
  }
  PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(N));
  if (t == nullptr) {
    for (PyObject* p : items) Py_DECREF(p);
    return nullptr;
  }
  for (size_t i = 0; i < N; ++i) PyTuple_SetItem(t, static_cast<Py_ssize_t>(i), items[i]);
  return t;
}

PyObject* FuseBody(uint64_t n_cols, const std::vector<ClauseArg>& clause_args, const std::vector<double>& divs,
                   PyObject* ban, const std::optional<fuse::Gates>& gates, bool has_should,
                   const std::vector<FillArg>& fill, const std::vector<PreferArg>& prefer_args, uint64_t top,
                   bool parallel) {
  if (divs.size() != n_cols || fill.size() != n_cols) {
    return value_err("nmql_fuse: " + std::to_string(n_cols) + " columns, " + std::to_string(divs.size()) +
                     " divisors, " + std::to_string(fill.size()) + " fill entries");
  }
  // The id objects of every clause's hits, by clause and hit position: the
  // pooled ids handed back are the very objects the host passed.
  Kept id_refs;
  std::vector<std::vector<PyObject*>> clause_ids(clause_args.size());
  std::vector<Clause> clauses(clause_args.size());
  for (size_t k = 0; k < clause_args.size(); ++k) {
    const ClauseArg& arg = clause_args[k];
    if (arg.column >= n_cols) {
      return value_err("nmql_fuse: clause column " + std::to_string(arg.column) + " >= " + std::to_string(n_cols));
    }
    const bool ok = FuseHits(arg.hits, &clauses[k].hits, &clause_ids[k]);
    for (PyObject* o : clause_ids[k]) id_refs.adopt(o);
    if (!ok) return nullptr;
    clauses[k].column = static_cast<size_t>(arg.column);
    clauses[k].weight = arg.weight;
    clauses[k].required = arg.required;
  }
  std::vector<Prefer> prefers(prefer_args.size());
  for (size_t i = 0; i < prefer_args.size(); ++i) {
    if (!FuseHits(prefer_args[i].hits, &prefers[i].hits, nullptr)) return nullptr;
    prefers[i].factor = prefer_args[i].factor;
    prefers[i].divisor = prefer_args[i].divisor;
  }
  std::vector<std::string> banned;
  if (ban != nullptr && !BanIds(ban, &banned)) return nullptr;

  Pool pool(static_cast<size_t>(n_cols), clauses, divs, banned, gates, has_should);
  const std::vector<std::pair<size_t, size_t>>& origin = pool.origin();
  std::vector<PyObject*> row_ids(pool.n_rows());
  for (size_t r = 0; r < pool.n_rows(); ++r) row_ids[r] = clause_ids[origin[r].first][origin[r].second];

  std::vector<FillJob> jobs;
  for (fuse::Missing& missing : pool.missing()) {
    const FillArg& entry = fill[missing.column];
    if (entry.queries.empty()) continue;  // nothing to measure with: the gaps stay unfilled
    FillJob job;
    job.column = missing.column;
    job.sources = &entry.sources;
    for (const auto& [w, bytes] : entry.queries) {
      job.queries.emplace_back(w, std::vector<float>());
      if (!source_queries(entry.sources, bytes, &job.queries.back().second)) return nullptr;
    }
    job.rows = std::move(missing.rows);
    if (!AliveRows(entry.tombstones, job.rows, row_ids, &job.alive)) return nullptr;
    jobs.push_back(std::move(job));
  }

  fuse::Scored scored;
  if (jobs.empty()) {
    scored = pool.score(prefers, top);
  } else {
    const bool ok = RunReleased([&]() -> std::optional<SearchErr> {
      for (const FillJob& job : jobs) {
        if (auto err = RunJob(job, pool.ids(), parallel, &pool)) return err;
      }
      scored = pool.score(prefers, top);
      return std::nullopt;
    });
    if (!ok) return nullptr;
  }

  std::vector<uint8_t> first_column(pool.n_rows());
  for (size_t r = 0; r < pool.n_rows(); ++r) {
    const size_t c = clauses[origin[r].first].column;
    first_column[r] = static_cast<uint8_t>(c < 255 ? c : 255);
  }
  std::vector<double> returned_scores;
  returned_scores.reserve(scored.returned.size());
  for (size_t r : scored.returned) returned_scores.push_back(scored.scores[r]);
  return TupleOfNew(std::array<PyObject*, 8>{
      ListOf(row_ids,
             [](PyObject* o) {
               Py_INCREF(o);
               return o;
             }),
      ListOf(scored.returned, [](size_t r) { return PyLong_FromSize_t(r); }),
      ListOf(returned_scores, [](double v) { return PyFloat_FromDouble(v); }),
      F64Bytes(pool.dist()),
      F64Bytes(pool.weight()),
      U8Bytes(pool.matched()),
      U8Bytes(pool.filled()),
      U8Bytes(first_column),
  });
}

}  // namespace

PyObject* MethodNmqlFuse(PyObject*, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"n_cols", "clauses", "divs", "ban", "gates", "has_should",
                                    "fill", "prefer", "top", "parallel", nullptr};
  PyObject *py_n_cols, *py_clauses, *py_divs, *py_ban, *py_gates, *py_has_should, *py_fill, *py_prefer, *py_top,
      *py_parallel;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "OOOOOOOOOO:nmql_fuse", const_cast<char**>(kKeywords), &py_n_cols,
                                   &py_clauses, &py_divs, &py_ban, &py_gates, &py_has_should, &py_fill, &py_prefer,
                                   &py_top, &py_parallel)) {
    return nullptr;
  }
  // Conversions in argument order; the first failure ends the call. The
  // hits lists and `ban` are only taken here: the body reads them, and its
  // errors carry no argument name.
  Kept kept;
  uint64_t n_cols = 0;
  if (!ToU64(py_n_cols, "n_cols", &n_cols)) return nullptr;
  std::vector<ClauseArg> clauses;
  if (!EachItem(py_clauses, "clauses", [&](PyObject* item) {
        ClauseArg c;
        if (!TupleOf(item, "clauses", 4) || !ToU64(PyTuple_GetItem(item, 0), "clauses", &c.column) ||
            !ToF64(PyTuple_GetItem(item, 1), "clauses", &c.weight) ||
            !ToBool(PyTuple_GetItem(item, 2), "clauses", &c.required) ||
            !ToHitsList(PyTuple_GetItem(item, 3), "clauses", &kept, &c.hits)) {
          return false;
        }
        clauses.push_back(c);
        return true;
      })) {
    return nullptr;
  }
  std::vector<double> divs;
  if (!ToF64Vec(py_divs, "divs", &divs)) return nullptr;
  PyObject* ban = py_ban == Py_None ? nullptr : py_ban;
  std::optional<fuse::Gates> gates;
  if (py_gates != Py_None) {
    fuse::Gates& g = gates.emplace();
    PyObject* minimum_required = TupleOf(py_gates, "gates", 3) ? PyTuple_GetItem(py_gates, 1) : nullptr;
    if (minimum_required == nullptr || !ToU64(PyTuple_GetItem(py_gates, 0), "gates", &g.required_columns) ||
        (minimum_required != Py_None &&
         !ToI64(minimum_required, "gates", &g.minimum_required_match.emplace())) ||
        !ToI64(PyTuple_GetItem(py_gates, 2), "gates", &g.minimum_should_match)) {
      return nullptr;
    }
  }
  bool has_should = false;
  if (!ToBool(py_has_should, "has_should", &has_should)) return nullptr;
  std::vector<FillArg> fill;
  if (!EachItem(py_fill, "fill", [&](PyObject* item) {
        if (!TupleOf(item, "fill", 3)) return false;
        FillArg entry;
        if (!ToHandles(PyTuple_GetItem(item, 0), "fill", &kept, &entry.sources)) return false;
        PyObject* tombstones = PyTuple_GetItem(item, 1);
        if (tombstones != Py_None) {
          kept.keep(tombstones);
          entry.tombstones = tombstones;
        }
        if (!EachItem(PyTuple_GetItem(item, 2), "fill", [&](PyObject* q) {
              double w = 0.0;
              const char* data = nullptr;
              size_t len = 0;
              if (!TupleOf(q, "fill", 2) || !ToF64(PyTuple_GetItem(q, 0), "fill", &w) ||
                  !ToBytes(PyTuple_GetItem(q, 1), "fill", &data, &len)) {
                return false;
              }
              kept.keep(PyTuple_GetItem(q, 1));
              entry.queries.emplace_back(w, std::string_view(data, len));
              return true;
            })) {
          return false;
        }
        fill.push_back(std::move(entry));
        return true;
      })) {
    return nullptr;
  }
  std::vector<PreferArg> prefer;
  if (!EachItem(py_prefer, "prefer", [&](PyObject* item) {
        PreferArg p;
        if (!TupleOf(item, "prefer", 3) || !ToF64(PyTuple_GetItem(item, 0), "prefer", &p.factor) ||
            !ToF64(PyTuple_GetItem(item, 1), "prefer", &p.divisor) ||
            !ToHitsList(PyTuple_GetItem(item, 2), "prefer", &kept, &p.hits)) {
          return false;
        }
        prefer.push_back(p);
        return true;
      })) {
    return nullptr;
  }
  uint64_t top = 0;  // None and 0 both keep every candidate
  if (py_top != Py_None && !ToU64(py_top, "top", &top)) return nullptr;
  bool parallel = false;
  if (!ToBool(py_parallel, "parallel", &parallel)) return nullptr;

  try {
    return FuseBody(n_cols, clauses, divs, ban, gates, has_should, fill, prefer, top, parallel);
  } catch (const std::bad_alloc&) {
    // A table of rows x columns too large for memory is the caller's
    // input, not a broken invariant. (Past the release of the lock, the
    // lookups and the scoring report it as an internal RuntimeError.)
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  }
}

}  // namespace nimbrel::py
