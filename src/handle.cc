#include "handle.h"

#include <algorithm>
#include <cerrno>

#include "convert.h"
#include "ivf_rabitq/segment_format.h"
#include "ivf_rabitq/storage.h"

namespace nimbrel::py {

namespace {


std::string ManifestOf(const std::string& dir) { return platform::JoinPath(dir, segment::kManifestFile); }

// The staleness check and reopen behind all three access paths. Runs
// without the interpreter lock. `use_cache` lets a `generation` read made
// less than 50 ms ago stand in for a fresh one.
SegmentOrErr Refresh(Handle& h, bool use_cache) {
  uint64_t now = platform::MonotonicNanos();
  std::optional<uint64_t> gen = use_cache ? h.cached_generation(now) : std::nullopt;
  if (!gen) {
    gen = storage::read_generation(h.path);
    h.record_probe(now, *gen);
  }
  std::shared_ptr<IvfIndex> cur = h.current();
  if (cur && h.loaded_generation() == *gen) return {std::move(cur), std::nullopt};

  std::shared_ptr<IvfIndex> previous;  // released after the directory lock
  std::lock_guard<std::mutex> reopen(h.reopen_mu);
  // The manifest is looked at only under the lock: between the two renames
  // of another writer's directory swap the live manifest is missing, and a
  // handle without a segment must wait for the swap rather than report
  // that nothing was built.
  Result<platform::File> lock = locked_directory(h.path, platform::LockKind::kShared);
  if (!lock.ok()) return {nullptr, SearchErr::Io(lock.status().message())};
  // Writers change the directory only under the exclusive lock, so the
  // generation read here belongs to the files we are about to open.
  if (platform::Exists(ManifestOf(h.path))) {
    uint64_t disk_gen = storage::read_generation(h.path);
    cur = h.current();
    if (!cur || h.loaded_generation() != disk_gen) {
      // Another writer may have built the directory with another
      // dimension; open refuses such a segment for this handle.
      auto opened = CallCore([&] { return IvfIndex::open_with_skip(h.path, h.skip_fields, h.dim); });
      if (!opened.ok()) {
        const Status& st = opened.status();
        return {nullptr, st.code() == Code::kInvalidArgument ? SearchErr::Invalid(st.message())
                                                             : SearchErr::Io(st.message())};
      }
      cur = std::move(opened).value();
      previous = swap_inner(h, cur);
      h.set_loaded_generation(disk_gen);
      h.record_probe(platform::MonotonicNanos(), disk_gen);
    }
  } else {
    cur = h.current();  // nothing on disk: keep what the handle holds
  }
  if (!cur) return {nullptr, SearchErr::NotOpened()};
  return {std::move(cur), std::nullopt};
}

// ---- the Python object -----------------------------------------------------

constexpr const char* kClassDoc = "ZevireDarir(path, dim, n_bits=2, skip_fields=None)\n--\n\n";

PyObject* HandleNewImpl(PyTypeObject* type, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"path", "dim", "n_bits", "skip_fields", nullptr};
  PyObject *py_path = nullptr, *py_dim = nullptr, *py_bits = nullptr, *py_skip = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "OO|OO:ZevireDarir", const_cast<char**>(kKeywords),
                                   &py_path, &py_dim, &py_bits, &py_skip)) {
    return nullptr;
  }
  std::string path;
  uint64_t dim = 0, n_bits = 2;
  std::optional<std::set<std::string>> skip;
  if (!ToString(py_path, "path", &path) || !ToU64(py_dim, "dim", &dim)) return nullptr;
  if (py_bits != nullptr && !ToU64(py_bits, "n_bits", &n_bits)) return nullptr;
  if (py_skip != nullptr && py_skip != Py_None) {
    std::vector<std::string> names;
    if (!ToStringVec(py_skip, "skip_fields", &names)) return nullptr;
    skip.emplace(names.begin(), names.end());
  }
  if (dim == 0) return value_err("dim must be >= 1");
  // The system would read the path only up to the NUL and act on another
  // file: "notes.txt\0" names notes.txt, whose siblings recovery removes.
  if (path.find('\0') != std::string::npos) return value_err("path: embedded null byte");

  // Under the exclusive directory lock: no writer of any process runs while
  // an interrupted swap is repaired and the log is replayed.
  Status failure;
  std::shared_ptr<IvfIndex> seg;
  uint64_t gen = 0;
  bool ran = WithoutGil([&] {
    // One directory, one lock: every spelling of it (a symlink, ".", a
    // trailing slash, a relative path) resolves to the same path, from
    // which the lock file and every sibling are derived.
    Result<std::string> resolved = platform::ResolvePath(path);
    if (!resolved.ok()) {
      failure = resolved.status();
      return;
    }
    path = std::move(resolved).value();
    // The lock file and the swap directories live beside the segment
    // directory: the root has no "beside", and a file that is not a
    // directory must not have its neighbours renamed or removed.
    if (path == "/") {
      failure = Status::InvalidArgument("path: the root directory cannot hold a segment (its lock file and "
                                        "swap directories need a parent directory)");
      return;
    }
    if (platform::Exists(path) && !platform::IsDirectory(path)) {
      failure = Status::FromErrno(ENOTDIR);
      return;
    }
    Result<platform::File> lock = locked_directory(path, platform::LockKind::kExclusive);
    if (!lock.ok()) {
      failure = lock.status();
      return;
    }
    recover(path);
    if (platform::Exists(ManifestOf(path))) {
      auto opened = CallCore([&] { return IvfIndex::open_with_skip(path, skip, dim); });
      if (!opened.ok()) {
        failure = opened.status();
        return;
      }
      seg = std::move(opened).value();
      if (seg->wal_version() == wal::kLegacyVersion) {
        // A log of the earlier format is replayed but takes no new frames:
        // a checkpoint folds it in and starts a current one. Should that
        // fail (a read-only directory, say), reads still work, and a write
        // says what is wrong.
        (void)CallCore([&] { return seg->checkpoint(storage::read_generation(path) + 1); });
      }
      gen = storage::read_generation(path);
    }
    (void)platform::UnlockFile(*lock);
  });
  if (!ran) return nullptr;
  if (failure.code() == Code::kInvalidArgument) return value_err(failure.message());
  if (!failure.ok()) return io_err(failure);

  auto handle = std::make_unique<Handle>(std::move(path), dim, n_bits, std::move(skip));
  // Installed as opened: the durability settings are still the defaults.
  (void)handle->exchange(std::move(seg));
  handle->set_loaded_generation(gen);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<HandleObject*>(self)->handle = handle.release();
  return self;
}

PyObject* HandleNew(PyTypeObject* type, PyObject* args, PyObject* kw) {
  return GuardEntry([&] { return HandleNewImpl(type, args, kw); });
}

void HandleDealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  auto* obj = reinterpret_cast<HandleObject*>(self);
  // The last reference to the segment runs its destructor here, with the
  // interpreter lock held.
  delete obj->handle;
  obj->handle = nullptr;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(self);
  Py_DECREF(tp);
}

}  // namespace

// ---- Handle fields ---------------------------------------------------------

std::shared_ptr<IvfIndex> Handle::current() const {
  std::lock_guard<std::mutex> g(inner_mu_);
  return inner_;
}

std::shared_ptr<IvfIndex> Handle::exchange(std::shared_ptr<IvfIndex> seg) {
  std::lock_guard<std::mutex> g(inner_mu_);
  std::swap(inner_, seg);
  return seg;
}

uint64_t Handle::loaded_generation() const {
  std::lock_guard<std::mutex> g(generation_mu_);
  return loaded_generation_;
}

void Handle::set_loaded_generation(uint64_t gen) {
  std::lock_guard<std::mutex> g(generation_mu_);
  loaded_generation_ = gen;
}

uint32_t Handle::durability_interval() const {
  std::lock_guard<std::mutex> g(durability_mu_);
  return durability_interval_;
}

void Handle::set_durability_interval(uint32_t v) {
  std::lock_guard<std::mutex> g(durability_mu_);
  durability_interval_ = std::max<uint32_t>(v, 1);
}

uint64_t Handle::wal_sync_ms() const {
  std::lock_guard<std::mutex> g(wal_sync_mu_);
  return wal_sync_ms_;
}

void Handle::set_wal_sync_ms(uint64_t v) {
  std::lock_guard<std::mutex> g(wal_sync_mu_);
  wal_sync_ms_ = v;
}

std::optional<uint64_t> Handle::cached_generation(uint64_t now_ns) const {
  std::lock_guard<std::mutex> g(probe_mu_);
  if (gen_probe_ && now_ns - gen_probe_->first < kGenerationProbeNanos) return gen_probe_->second;
  return std::nullopt;
}

void Handle::record_probe(uint64_t now_ns, uint64_t gen) {
  std::lock_guard<std::mutex> g(probe_mu_);
  gen_probe_ = std::make_pair(now_ns, gen);
}

void Handle::clear_probe() {
  std::lock_guard<std::mutex> g(probe_mu_);
  gen_probe_.reset();
}

// ---- type object -----------------------------------------------------------

PyObject* ZevireDarirType() {
  // Created with the interpreter lock held, on first use.
  static PyObject* type = nullptr;
  if (type != nullptr) return type;
  static PyMethodDef methods[] = {
      {"build", KwEntry<MethodBuild>(), METH_VARARGS | METH_KEYWORDS,
       "build($self, vectors, n, ids, metadatas, n_clusters, seed=42, sparse=None, "
       "skip_index=None, pca=None, quant_scale=0.0)\n--\n\n"
       "Bulk build from contiguous little-endian f32 bytes (n*dim) + ids + metadata\n"
       "JSON + optional per-vector sparse terms [[(term, weight), ...], ...]."},
      {"search", KwEntry<MethodSearch>(), METH_VARARGS | METH_KEYWORDS,
       "search($self, query, k, nprobe=32, rerank=400, filter_json=None, ensure_target_k=False)\n"
       "--\n\n"
       "Approximate k nearest neighbours of `query` (little-endian f32 bytes or a\n"
       "sequence of floats) by squared L2 distance, optionally restricted by a\n"
       "metadata filter. Returns [(id, distance), ...], ascending."},
      {"calibrate_nprobe", KwEntry<MethodCalibrateNprobe>(), METH_VARARGS | METH_KEYWORDS,
       "calibrate_nprobe($self, n_samples, k, target_recall, grid, rerank=500, seed=1234, background=False)\n"
       "--\n\n"
       "The smallest nprobe of `grid` whose mean recall@k reaches `target_recall` when\n"
       "`n_samples` live rows of this segment search for their exact neighbours (the\n"
       "largest value when none does, 64 for an empty grid). background=True runs the\n"
       "measurement on the maintenance pool; the call waits for it either way."},
      {"add", KwEntry<MethodAdd>(), METH_VARARGS | METH_KEYWORDS,
       "add($self, id, vector, metadata=None, sparse=None)\n--\n\n"
       "Upsert one row: `vector` as little-endian f32 bytes or a sequence of floats,\n"
       "`metadata` as JSON text, `sparse` as [(term, weight), ...]. Logged, applied\n"
       "at once, and made durable by the group-commit policy."},
      {"search_hybrid", KwEntry<MethodSearchHybrid>(), METH_VARARGS | METH_KEYWORDS,
       "search_hybrid($self, query, sparse_query, k, nprobe=64, rerank=500, filter_json=None, "
       "rrf_k=60.0, ensure_target_k=False)\n--\n\n"
       "Dense and sparse search of this segment fused by Reciprocal Rank Fusion: each\n"
       "ranking is asked for max(10*k, 100) rows, and a row scores the sum of\n"
       "1 / (rrf_k + rank + 1) over the rankings holding it. Returns [(id, rrf_score), ...],\n"
       "descending."},
      {"sparse_search", KwEntry<MethodSparseSearch>(), METH_VARARGS | METH_KEYWORDS,
       "sparse_search($self, sparse_query, k, filter_json=None)\n--\n\n"
       "Rows by the dot product of `sparse_query` [(term, weight), ...] with their sparse\n"
       "terms (rows without any of the terms are not returned), optionally restricted by\n"
       "a metadata filter. Returns [(id, score), ...], descending."},
      {"delete", KwEntry<MethodDelete>(), METH_VARARGS | METH_KEYWORDS,
       "delete($self, id)\n--\n\nTombstone a row by id. Returns True if it existed and was live."},
      {"flush", NoArgsEntry<MethodFlush>(), METH_NOARGS,
       "flush($self)\n--\n\nCheckpoint: persist the in-RAM delta + tombstones and reset the WAL."},
      {"compact", NoArgsEntry<MethodCompact>(), METH_NOARGS,
       "compact($self)\n--\n\n"
       "Vacuum: fold the delta into the main index and drop tombstoned rows.\n"
       "Cross-process safe: takes an\n"
       "exclusive lock (waits for in-flight writers, blocks new ones) and folds a\n"
       "FRESH view of the full WAL so no concurrent writer's committed ops are lost."},
      {"rebuild", KwEntry<MethodRebuild>(), METH_VARARGS | METH_KEYWORDS,
       "rebuild($self, n_clusters=None)\n--\n\n"
       "Full re-cluster: rebuild the index from scratch with fresh k-means and a\n"
       "cluster count of n_clusters (default sqrt(live)), vectors read back from the\n"
       "8-bit copies. Preserves ids/metadata/sparse/PCA."},
      {"count", NoArgsEntry<MethodCount>(), METH_NOARGS, "count($self)\n--\n\n"},
      {"stats", NoArgsEntry<MethodStats>(), METH_NOARGS,
       "stats($self)\n--\n\n"
       "(main rows, delta rows, tombstoned slots) of the segment held now."},
      {"fit_count", NoArgsEntry<MethodFitCount>(), METH_NOARGS,
       "fit_count($self)\n--\n\nRows used by the held segment's last k-means fit."},
      {"get_meta", KwEntry<MethodGetMeta>(), METH_VARARGS | METH_KEYWORDS,
       "get_meta($self, ids, max_result_bytes=None)\n--\n\n"
       "Batch metadata lookup: one JSON string per id (\"null\" if missing/deleted).\n"
       "Optional max_result_bytes bounds estimated peak memory, not wire bytes."},
      {"get_meta_bounded", KwEntry<MethodGetMetaBounded>(), METH_VARARGS | METH_KEYWORDS,
       "get_meta_bounded($self, ids, max_result_bytes, fast_upper=False)\n--\n\n"
       "Bounded source lookup: real metadata's estimated memory units plus a\n"
       "temporary-null count for LSM's final-response accounting."},
      {"has_ids", KwEntry<MethodHasIds>(), METH_VARARGS | METH_KEYWORDS,
       "has_ids($self, ids)\n--\n\n"
       "Batch existence probe: one bool per id, true when a LIVE row with that id is in\n"
       "this index. The cheap answer to \"is this id here?\" \u2014 unlike get_meta it never\n"
       "materializes metadata, so tombstone bookkeeping (count/upsert probes/delete\n"
       "liveness) is O(ids), not O(metadata bytes)."},
      {"get_vectors", KwEntry<MethodGetVectors>(), METH_VARARGS | METH_KEYWORDS,
       "get_vectors($self, ids)\n--\n\n"
       "Dequantized f32 vectors for ids (empty list for missing). Backs PCA/3D viz."},
      {"get_sparse", KwEntry<MethodGetSparse>(), METH_VARARGS | METH_KEYWORDS,
       "get_sparse($self, ids)\n--\n\n"
       "Per-id sparse terms (empty for missing). Backs LSM segment merge."},
      {"quant_scale", NoArgsEntry<MethodQuantScale>(), METH_NOARGS,
       "quant_scale($self)\n--\n\nGlobal scale of the held segment's 8-bit rerank copies."},
      {"format_version", NoArgsEntry<MethodFormatVersion>(), METH_NOARGS,
       "format_version($self)\n--\n\n"
       "(format version the segment was opened at, format version this build writes)."},
      {"pca_basis", NoArgsEntry<MethodPcaBasis>(), METH_NOARGS,
       "pca_basis($self)\n--\n\n"
       "Persisted PCA basis (mean[dim], comps[3*dim]) computed at build time, or\n"
       "None if absent. iter_pca_3d uses it to project without re-fitting per call."},
      {"ids_matching", KwEntry<MethodIdsMatching>(), METH_VARARGS | METH_KEYWORDS,
       "ids_matching($self, filter_json=None)\n--\n\n"
       "All live ids matching a metadata filter (None/empty = all). Backs\n"
       "delete-by-filter, get_all_items, exists, count-with-filter."},
      {"count_matching", KwEntry<MethodCountMatching>(), METH_VARARGS | METH_KEYWORDS,
       "count_matching($self, filter_json=None)\n--\n\n"
       "Count live rows matching a filter (None/empty = all) without materializing\n"
       "ids. Backs count-with-filter; segment-local (LSM tombstones handled above)."},
      {"aggregate_by_ids", KwEntry<MethodAggregateByIds>(), METH_VARARGS | METH_KEYWORDS,
       "aggregate_by_ids($self, field, ids)\n--\n\n"
       "Group the given ids by a STRING metadata field, returning\n"
       "`(counts, resolved_indices)` \u2014 the indices of the ids this index claimed, so the\n"
       "caller can walk sources newest-first and count each row exactly once. Returns\n"
       "None when the field is not a string column here (numeric, or skip_index'd), so\n"
       "the caller falls back to the metadata path."},
      {"exists_matching", KwEntry<MethodExistsMatching>(), METH_VARARGS | METH_KEYWORDS,
       "exists_matching($self, filter_json=None)\n--\n\n"
       "True if any live row matches the filter (short-circuits). Backs exists()."},
      {"set_durability", KwEntry<MethodSetDurability>(), METH_VARARGS | METH_KEYWORDS,
       "set_durability($self, interval)\n--\n\n"
       "Group commit: flush the log after every `interval` logged operations\n"
       "(0 and 1: after each one)."},
      {"set_wal_sync_ms", KwEntry<MethodSetWalSyncMs>(), METH_VARARGS | METH_KEYWORDS,
       "set_wal_sync_ms($self, ms)\n--\n\n"
       "Time-based group commit: flush the log at the first logged operation `ms`\n"
       "milliseconds or more after the last flush (0: count-based commit)."},
      {"wal_sync_count", NoArgsEntry<MethodWalSyncCount>(), METH_NOARGS,
       "wal_sync_count($self)\n--\n\nLog flushes made by group commit on the held segment."},
      {"sync", NoArgsEntry<MethodSync>(), METH_NOARGS,
       "sync($self)\n--\n\n"
       "Make the log tail durable now (a full-device flush; a checkpoint instead\n"
       "while an earlier flush failure stands)."},
      {"close", NoArgsEntry<MethodClose>(), METH_NOARGS,
       "close($self)\n--\n\nLet go of the held segment; the next call that needs it reopens it."},
      {"verify_integrity", NoArgsEntry<MethodVerifyIntegrity>(), METH_NOARGS,
       "verify_integrity($self)\n--\n\n"
       "At-rest fsck of this segment's data files against their recorded CRCs.\n"
       "Returns (ok, messages). ok=false means detected bit-rot; a legacy index\n"
       "(no recorded checksums) returns (true, [informational note]). Streams the\n"
       "files GIL-free."},
      {"ids_matching_limit", KwEntry<MethodIdsMatchingLimit>(), METH_VARARGS | METH_KEYWORDS,
       "ids_matching_limit($self, filter_json, limit)\n--\n\n"
       "The first `limit` of the ids `ids_matching` would return, in the same order,\n"
       "without scanning past them (see IvfIndex::ids_matching_limit). Last in this block\n"
       "on purpose: code added among the query methods shifted their layout."},
      {"distances_to_many", KwEntry<MethodDistancesToMany>(), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
       "distances_to_many(jobs, parallel=True)\n--\n\n"
       "For each job (sources newest first, ids, query bytes): per id, the squared L2\n"
       "distance between the closest query and the id's live row in the first source\n"
       "that holds one, NaN where none does. Returns one list of floats per job."},
      {"nmql_fuse", KwEntry<MethodNmqlFuse>(), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
       "nmql_fuse(n_cols, clauses, divs, ban, gates, has_should, fill, prefer, top, parallel)\n--\n\n"
       "NMQL's multi-column fusion (`NimbrelTables._fuse_columns`), natively: see\n"
       "`nmql_fuse`. `clauses` are the match/must/should clauses in query order as\n"
       "(column, weight, required?, hits [(id, distance)]); `fill[j]` is column j's\n"
       "(sources newest first, tombstone set or None, [(weight, query bytes)] of its\n"
       "clauses); `prefer` is (boost factor, divisor, hits) per prefer clause; `gates` is\n"
       "(distinct required columns under mode \"all\" or 0, minimum_required_match,\n"
       "minimum_should_match). Returns (pooled ids, returned rows, their scores, the\n"
       "column-major distance/weight f64 and matched/filled u8 arrays, and each row's\n"
       "first-pooling column as u8, all as bytes). The GIL is released once, only when some\n"
       "row needs a lookup."},
      {"meta_status_across", KwEntry<MethodMetaStatusAcross>(), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
       "meta_status_across(sources, ids, metas, parallel=True)\n--\n\n"
       "Per id, how the metadata of its live row in the first source holding one compares\n"
       "with the given JSON text: 0 no such row (or its metadata is null), 1 the same,\n"
       "2 different. Returns bytes, one status per id."},
      {"meta_status_columns", KwEntry<MethodMetaStatusColumns>(), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
       "meta_status_columns(columns, ids, metas, parallel=True)\n--\n\n"
       "For each column (sources newest first, and the row indices to judge, or None for\n"
       "all), the row indices whose metadata differs from the given one; `metas` holds\n"
       "one JSON text per id, separated by newlines."},
      {nullptr, nullptr, 0, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(&HandleNew)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&HandleDealloc)},
      {Py_tp_doc, const_cast<char*>(kClassDoc)},
      {Py_tp_methods, methods},
      {0, nullptr},
  };
  static PyType_Spec spec = {"nimbrel.ZevireDarir", static_cast<int>(sizeof(HandleObject)), 0,
                             Py_TPFLAGS_DEFAULT, slots};
  type = PyType_FromSpec(&spec);
  return type;
}

Handle* HandleOf(PyObject* self) {
  PyObject* type = ZevireDarirType();
  if (type == nullptr) {
    PyErr_Print();
    RaisePanic("An error occurred while initializing class ZevireDarir");
    return nullptr;
  }
  if (self == nullptr) {
    PyErr_SetString(PyExc_TypeError, "object cannot be converted to 'ZevireDarir'");
    return nullptr;
  }
  if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) {
    CannotConvert(self, "ZevireDarir");
    return nullptr;
  }
  return reinterpret_cast<HandleObject*>(self)->handle;
}

PyObject* MethodClose(PyObject* self, PyObject*) {
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  // Queries in flight keep their own reference and finish on the old
  // segment. Writes in flight are waited for: each must land in the
  // segment it took before that segment goes, or the reopen that follows
  // could replay the log without it (the wait runs without the
  // interpreter lock, which writes never need).
  if (!WithoutGil([&] {
        std::unique_lock<RwLock> writes(h->writes_in_flight);
        std::shared_ptr<IvfIndex> old = h->exchange(nullptr);
        writes.unlock();
        old.reset();  // a last reference's destructor flushes the log
      })) {
    return nullptr;
  }
  h->clear_probe();
  Py_RETURN_NONE;
}

// ---- segment access --------------------------------------------------------

namespace {
// Refresh, with a C++ exception thrown inside turned into SearchErr::Runtime.
SegmentOrErr GuardedRefresh(Handle& h, bool use_cache) {
  SegmentOrErr out;
  std::optional<SearchErr> thrown = GuardQuery([&]() -> std::optional<SearchErr> {
    out = Refresh(h, use_cache);
    return std::nullopt;
  });
  if (thrown) out = {nullptr, std::move(thrown)};
  return out;
}
}  // namespace

SegmentOrErr opened_search(Handle& h) { return GuardedRefresh(h, /*use_cache=*/true); }

std::shared_ptr<IvfIndex> opened_off_gil(Handle& h) {
  SegmentOrErr r;
  if (!WithoutGil([&] { r = GuardedRefresh(h, /*use_cache=*/true); })) return nullptr;
  if (r.err) {
    map_search_err(std::move(*r.err));
    return nullptr;
  }
  return std::move(r.segment);
}

SegmentOrErr opened(Handle& h) { return GuardedRefresh(h, /*use_cache=*/false); }

// ---- handle operations -----------------------------------------------------

namespace {
// The lock file lives outside the segment directory, so its failures name
// it: "not a regular file (a FIFO)" alone would not say which file.
Status AboutLockFile(const std::string& dir, const Status& st) {
  return Status(st.code(), sibling(dir, ".lock") + ": " + st.message(), st.os_errno());
}
}  // namespace

Result<platform::File> lock_file(const std::string& dir) {
  Result<platform::File> f = platform::File::Open(sibling(dir, ".lock"), platform::File::kReadWriteCreate, 0666);
  if (!f.ok()) return AboutLockFile(dir, f.status());
  return f;
}

Result<platform::File> locked_directory(const std::string& dir, platform::LockKind kind) {
  Result<platform::File> lock = lock_file(dir);
  if (!lock.ok()) return lock;
  if (Status st = platform::LockFile(*lock, kind); !st.ok()) return AboutLockFile(dir, st);
  return lock;
}

std::shared_ptr<IvfIndex> swap_inner(Handle& h, std::shared_ptr<IvfIndex> seg) {
  if (seg) {
    seg->group_commit_interval = std::max<uint32_t>(h.durability_interval(), 1);
    seg->wal_sync_ms = h.wal_sync_ms();
    seg->reset_last_sync();
  }
  return h.exchange(std::move(seg));
}

void drop_inner(Handle& h) {
  std::shared_ptr<IvfIndex> old = h.exchange(nullptr);
  if (!old) return;
  // The destructor of a last reference flushes the log: do not stall other
  // Python threads meanwhile.
  Py_BEGIN_ALLOW_THREADS
  old.reset();
  Py_END_ALLOW_THREADS
}

Status reload_after_bump(Handle& h) {
  h.clear_probe();
  // Only the rollback of a failed swap can meet a segment of another
  // dimension here (one built by another handle); open refuses it.
  std::optional<Result<std::shared_ptr<IvfIndex>>> opened;
  if (!WithoutGil([&] {
        opened.emplace(CallCore([&] { return IvfIndex::open_with_skip(h.path, h.skip_fields, h.dim); }));
      })) {
    PyErr_Clear();  // CallCore does not throw: unreachable, but never read an empty result
    return Status(Code::kIoError, "internal error: the segment was not opened");
  }
  if (!opened->ok()) return opened->status();
  std::shared_ptr<IvfIndex> fresh = std::move(*opened).value();
  std::shared_ptr<IvfIndex> old = swap_inner(h, std::move(fresh));
  h.set_loaded_generation(storage::read_generation(h.path));
  Py_BEGIN_ALLOW_THREADS
  old.reset();
  Py_END_ALLOW_THREADS
  return Status::Ok();
}

Status publish_swapped(Handle& h, const std::string& old_dir) {
  Status first = reload_after_bump(h);
  if (first.ok()) {
    // Removing a large directory takes a while; a failure is harmless
    // (recover() removes it later), so it is ignored.
    if (!WithoutGil([&] { (void)platform::RemoveAll(old_dir); })) PyErr_Clear();
    return Status::Ok();
  }
  // The new directory does not open: keep it aside for inspection and put
  // the previous segment back. Failures here leave what recover() repairs.
  const std::string broken = sibling(h.path, ".broken");
  (void)platform::RemoveAll(broken);
  (void)platform::Rename(h.path, broken);
  (void)platform::Rename(old_dir, h.path);
  (void)storage::sync_parent_dir(h.path);
  (void)reload_after_bump(h);
  return first;
}

bool heal_orphaned_compaction(Handle& h) {
  const std::string manifest = ManifestOf(h.path);
  if (platform::Exists(manifest)) return true;
  if (platform::Exists(ManifestOf(sibling(h.path, ".old")))) recover(h.path);
  return platform::Exists(manifest);
}

bool LockExclusive(Handle& h, std::optional<platform::File>* lock) {
  Status failure;
  if (!WithoutGil([&] {
        Result<platform::File> f = locked_directory(h.path, platform::LockKind::kExclusive);
        if (!f.ok()) {
          failure = f.status();
          return;
        }
        lock->emplace(std::move(f).value());
      })) {
    return false;
  }
  // The lock step reports its failure as text, the way Python renders the
  // exception it stands for: "OSError: {message}".
  if (!failure.ok()) {
    io_err(SearchErr::Io(failure.message()).Rendered());
    return false;
  }
  return true;
}

Status checkpoint_locked(Handle& h) {
  const uint64_t disk = storage::read_generation(h.path);
  const uint64_t next = disk + 1;
  std::shared_ptr<IvfIndex> cur = h.current();
  if (cur && h.loaded_generation() == disk && cur->matches_disk()) {
    NIMBREL_RETURN_IF_ERROR(cur->checkpoint(next));
    h.set_loaded_generation(next);
    h.clear_probe();
    return Status::Ok();
  }
  // Other handles or processes wrote since this segment was read: their
  // operations are only in the files, which a fresh open replays whole.
  NIMBREL_ASSIGN_OR_RETURN(std::shared_ptr<IvfIndex> fresh, IvfIndex::open_with_skip(h.path, h.skip_fields, h.dim));
  return fresh->checkpoint(next);
}

bool swap_in(Handle& h, const std::string& staging) {
  const std::string live = h.path;
  // The new directory must be durable before it replaces the live one.
  if (Status st = storage::sync_parent_dir(staging); !st.ok()) {
    io_err_by_kind(st);
    return false;
  }
  drop_inner(h);
  const std::string old = sibling(live, ".old");
  (void)platform::RemoveAll(old);
  if (Status st = swap_dirs(live, old, staging); !st.ok()) {
    io_err_by_kind(st);
    return false;
  }
  if (Status st = storage::sync_parent_dir(live); !st.ok()) {
    io_err_by_kind(st);
    return false;
  }
  if (Status st = publish_swapped(h, old); !st.ok()) {
    io_err(st);
    return false;
  }
  return true;
}

// ---- directory helpers -----------------------------------------------------

// The handle's path is resolved (absolute, no trailing separator, never
// the root), so the directory's own name with the suffix is the path with
// the suffix: /data/seg7 -> /data/seg7.lock.
std::string sibling(const std::string& path, std::string_view suffix) {
  return path + std::string(suffix);
}

Status swap_dirs(const std::string& live, const std::string& old, const std::string& staging) {
  NIMBREL_RETURN_IF_ERROR(platform::Rename(live, old));
  // If this second rename fails the live name is absent and `old` holds the
  // previous segment; recover() renames it back at the next construction.
  return platform::Rename(staging, live);
}

void recover(const std::string& path) {
  // A staging directory of an interrupted build, compaction or rebuild is
  // never resumed.
  (void)platform::RemoveAll(sibling(path, ".compacting"));

  const std::string old = sibling(path, ".old");
  if (platform::Exists(old)) {
    if (platform::Exists(ManifestOf(path))) {
      (void)platform::RemoveAll(old);  // the swap completed
    } else if (platform::Exists(ManifestOf(old))) {
      // Interrupted between the two renames: put the previous segment back.
      (void)platform::Rename(old, path);
      (void)storage::sync_parent_dir(path);
    } else {
      (void)platform::RemoveAll(old);  // not a complete segment
    }
  }

  // Temporary files of atomic writes that never reached their rename.
  Result<std::vector<std::string>> names = platform::ListDirectory(path);
  if (!names.ok()) return;
  for (const std::string& name : names.value()) {
    if (name.ends_with(storage::kTempSuffix)) {
      (void)platform::Unlink(platform::JoinPath(path, name));
    }
  }
}

}  // namespace nimbrel::py
