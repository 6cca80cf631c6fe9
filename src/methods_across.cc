// The static methods that look ids up across the segments of a column,
// newest first: distances_to_many, meta_status_across, meta_status_columns.
//
// Every argument is converted and checked with the interpreter lock held;
// then the lock is released once for the whole call, around obtaining each
// source's segment (a handle without one fails the whole call) and the
// lookups; the result objects are built after it is taken back. The source
// handles stay referenced for the whole call, so a caller that drops them
// meanwhile cannot free them under the lookups.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "across.h"
#include "convert.h"
#include "handle.h"
#include "ivf_rabitq/canon_meta.h"

namespace nimbrel::py {

namespace {

bool ParallelArg(PyObject* o, bool* parallel) {
  *parallel = true;
  return o == nullptr || ToBool(o, "parallel", parallel);
}

std::vector<std::string_view> ViewsOf(const std::vector<std::string>& texts) {
  return std::vector<std::string_view>(texts.begin(), texts.end());
}

std::string CountMismatch(size_t ids, size_t metas) {
  return std::to_string(ids) + " ids but " + std::to_string(metas) + " metadata";
}

}  // namespace

PyObject* MethodDistancesToMany(PyObject*, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"jobs", "parallel", nullptr};
  PyObject *py_jobs = nullptr, *py_parallel = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "O|O:distances_to_many", const_cast<char**>(kKeywords), &py_jobs,
                                   &py_parallel)) {
    return nullptr;
  }
  struct Job {
    std::vector<Handle*> sources;
    std::vector<std::string> ids;
    std::string_view bytes;  // of a bytes object kept for the call
    std::vector<float> queries;
  };
  Kept kept;
  std::vector<Job> jobs;
  const bool converted = EachItem(py_jobs, "jobs", [&](PyObject* item) {
    if (!TupleOf(item, "jobs", 3)) return false;
    Job job;
    const char* data = nullptr;
    size_t len = 0;
    if (!ToHandles(PyTuple_GetItem(item, 0), "jobs", &kept, &job.sources) ||
        !ToStringVec(PyTuple_GetItem(item, 1), "jobs", &job.ids) ||
        !ToBytes(PyTuple_GetItem(item, 2), "jobs", &data, &len)) {
      return false;
    }
    kept.keep(PyTuple_GetItem(item, 2));
    job.bytes = std::string_view(data, len);
    jobs.push_back(std::move(job));
    return true;
  });
  bool parallel = true;
  if (!converted || !ParallelArg(py_parallel, &parallel)) return nullptr;
  for (Job& job : jobs) {
    if (!source_queries(job.sources, job.bytes, &job.queries)) return nullptr;
  }

  std::vector<std::vector<float>> results(jobs.size());
  const bool ok = RunReleased([&]() -> std::optional<SearchErr> {
    std::vector<std::shared_ptr<IvfIndex>> segments;
    std::vector<const IvfIndex*> raw;
    for (size_t j = 0; j < jobs.size(); ++j) {
      if (auto err = ObtainAll(jobs[j].sources, &segments, &raw)) return err;
      results[j] = IvfIndex::distances_across(raw, ViewsOf(jobs[j].ids), jobs[j].queries.data(),
                                              jobs[j].queries.size(), parallel);
      segments.clear();
    }
    return std::nullopt;
  });
  if (!ok) return nullptr;

  return ListOf(results, FloatList);
}

PyObject* MethodMetaStatusAcross(PyObject*, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"sources", "ids", "metas", "parallel", nullptr};
  PyObject *py_sources = nullptr, *py_ids = nullptr, *py_metas = nullptr, *py_parallel = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "OOO|O:meta_status_across", const_cast<char**>(kKeywords), &py_sources,
                                   &py_ids, &py_metas, &py_parallel)) {
    return nullptr;
  }
  Kept kept;
  std::vector<Handle*> sources;
  std::vector<std::string> ids, metas;
  bool parallel = true;
  if (!ToHandles(py_sources, "sources", &kept, &sources) || !ToStringVec(py_ids, "ids", &ids) ||
      !ToStringVec(py_metas, "metas", &metas) || !ParallelArg(py_parallel, &parallel)) {
    return nullptr;
  }
  if (ids.size() != metas.size()) return value_err(CountMismatch(ids.size(), metas.size()));

  std::vector<uint8_t> statuses;
  const bool ok = RunReleased([&]() -> std::optional<SearchErr> {
    std::vector<std::shared_ptr<IvfIndex>> segments;
    std::vector<const IvfIndex*> raw;
    if (auto err = ObtainAll(sources, &segments, &raw)) return err;
    const CanonMetaList comparands(ViewsOf(metas));
    statuses = IvfIndex::meta_status_across(raw, ViewsOf(ids), comparands.all(), parallel);
    return std::nullopt;
  });
  if (!ok) return nullptr;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(statuses.data()),
                                   static_cast<Py_ssize_t>(statuses.size()));
}

PyObject* MethodMetaStatusColumns(PyObject*, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"columns", "ids", "metas", "parallel", nullptr};
  PyObject *py_columns = nullptr, *py_ids = nullptr, *py_metas = nullptr, *py_parallel = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "OOO|O:meta_status_columns", const_cast<char**>(kKeywords), &py_columns,
                                   &py_ids, &py_metas, &py_parallel)) {
    return nullptr;
  }
  struct Column {
    std::vector<Handle*> sources;
    std::optional<std::vector<uint64_t>> rows;  // none: every row
  };
  Kept kept;
  std::vector<Column> columns;
  const bool converted = EachItem(py_columns, "columns", [&](PyObject* item) {
    if (!TupleOf(item, "columns", 2)) return false;
    Column column;
    if (!ToHandles(PyTuple_GetItem(item, 0), "columns", &kept, &column.sources)) return false;
    PyObject* py_rows = PyTuple_GetItem(item, 1);
    if (py_rows != Py_None && !ToU64Vec(py_rows, "columns", &column.rows.emplace())) return false;
    columns.push_back(std::move(column));
    return true;
  });
  std::vector<std::string> ids;
  std::string metas_text;
  bool parallel = true;
  if (!converted || !ToStringVec(py_ids, "ids", &ids) || !ToString(py_metas, "metas", &metas_text) ||
      !ParallelArg(py_parallel, &parallel)) {
    return nullptr;
  }
  // One text per row, cut at every newline (compact JSON holds none) as
  // views of the one string: no row's text is copied.
  std::vector<std::string_view> metas;
  if (!ids.empty()) {
    const size_t texts = static_cast<size_t>(std::count(metas_text.begin(), metas_text.end(), '\n')) + 1;
    if (texts != ids.size()) return value_err(CountMismatch(ids.size(), texts));
    metas.reserve(texts);
    std::string_view rest = metas_text;
    for (size_t cut = rest.find('\n'); cut != std::string_view::npos; cut = rest.find('\n')) {
      metas.push_back(rest.substr(0, cut));
      rest.remove_prefix(cut + 1);
    }
    metas.push_back(rest);
  }
  for (const Column& column : columns) {
    if (!column.rows) continue;
    for (uint64_t r : *column.rows) {
      if (r >= ids.size()) return value_err("a row index is out of range for " + std::to_string(ids.size()) + " ids");
    }
  }

  std::vector<std::vector<uint64_t>> differing(columns.size());
  const bool ok = RunReleased([&]() -> std::optional<SearchErr> {
    const CanonMetaList comparands(metas);
    const std::vector<std::string_view> id_views = ViewsOf(ids);
    // One column: its segments, its statuses, the rows of status 2. Run
    // isolated, so that a thread waiting inside it (for a reopen's or a
    // lookup's parallel loop) takes no other column's work meanwhile,
    // which could want the reopen mutex or the read locks it holds.
    auto run_column = [&](size_t c) -> std::optional<SearchErr> {
      return tbb::this_task_arena::isolate([&]() -> std::optional<SearchErr> {
        const Column& column = columns[c];
        std::vector<std::shared_ptr<IvfIndex>> segments;
        std::vector<const IvfIndex*> raw;
        if (auto err = ObtainAll(column.sources, &segments, &raw)) return err;
        std::vector<uint64_t>& out = differing[c];
        if (!column.rows) {
          const std::vector<uint8_t> st = IvfIndex::meta_status_across(raw, id_views, comparands.all(), parallel);
          for (size_t k = 0; k < st.size(); ++k) {
            if (st[k] == 2) out.push_back(k);
          }
          return std::nullopt;
        }
        const std::vector<uint64_t>& rows = *column.rows;
        std::vector<std::string_view> listed_ids;
        std::vector<const CanonMeta*> listed_comps;
        listed_ids.reserve(rows.size());
        listed_comps.reserve(rows.size());
        for (uint64_t r : rows) {
          listed_ids.push_back(id_views[r]);
          listed_comps.push_back(comparands.all()[r]);
        }
        const std::vector<uint8_t> st = IvfIndex::meta_status_across(raw, listed_ids, listed_comps, parallel);
        for (size_t j = 0; j < st.size(); ++j) {
          if (st[j] == 2) out.push_back(rows[j]);
        }
        return std::nullopt;
      });
    };
    if (!parallel || columns.size() < 2) {
      for (size_t c = 0; c < columns.size(); ++c) {
        if (auto err = run_column(c)) return err;
      }
      return std::nullopt;
    }
    // The first failure recorded wins; columns not started by then are
    // skipped. The comparands are shared: a row's canonical form is made
    // by the first column that needs it.
    std::atomic<bool> failed{false};
    std::mutex err_mu;
    std::optional<SearchErr> first_err;
    tbb::parallel_for(tbb::blocked_range<size_t>(0, columns.size(), 1), [&](const tbb::blocked_range<size_t>& r) {
      for (size_t c = r.begin(); c < r.end(); ++c) {
        if (failed.load(std::memory_order_acquire)) return;
        std::optional<SearchErr> err = GuardQuery([&] { return run_column(c); });
        if (!err) continue;
        std::lock_guard<std::mutex> lock(err_mu);
        if (!first_err) first_err = std::move(err);
        failed.store(true, std::memory_order_release);
        return;
      }
    });
    return first_err;
  });
  if (!ok) return nullptr;

  return ListOf(differing, U64List);
}

}  // namespace nimbrel::py
