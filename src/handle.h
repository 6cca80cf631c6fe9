// The ZevireDarir handle: one Python object per segment directory, holding
// at most one opened segment that it shares by reference count with the
// operations in flight.
//
// How a method reaches its segment:
//   - queries call opened_search (interpreter lock released) or
//     opened_off_gil; both re-read the directory's `generation` file at
//     most once every 50 ms and reopen the segment under the shared
//     directory lock when it changed or none is held;
//   - add, delete and verify_integrity call opened, which re-reads
//     `generation` on every call;
//   - count/stats/fit_count/quant_scale/wal_sync_count look only at the
//     segment held right now and never open one.
//
// Directory swap (build over an existing segment): the new segment is
// written to "<dir>.compacting", the live directory renamed to
// "<dir>.old", the staging directory renamed to the live name, the parent
// flushed, and the new segment opened; "<dir>.old" is removed only once
// the new one opened. recover() rolls an interrupted swap forward or back.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "errors.h"
#include "ivf_rabitq/index.h"
#include "ivf_rabitq/status.h"
#include "platform/fs.h"

namespace nimbrel::py {

// How long a read of the `generation` file serves staleness checks.
inline constexpr uint64_t kGenerationProbeNanos = 50'000'000;

// The handle's record. Every mutable field has its own plain mutex, held
// only to read or write that field; no two of them are ever held at once.
// (reopen_mu and writes_in_flight guard steps, not fields: see below.)
class Handle {
 public:
  Handle(std::string path, uint64_t dim, uint64_t n_bits,
         std::optional<std::set<std::string>> skip_fields)
      : path(std::move(path)), dim(dim), n_bits(n_bits), skip_fields(std::move(skip_fields)) {}

  // The segment directory, resolved once at construction (absolute,
  // symlinks followed): every spelling of one directory shares its lock
  // file and siblings.
  const std::string path;
  const uint64_t dim;
  const uint64_t n_bits;   // bits per dimension that `build` encodes with
  const std::optional<std::set<std::string>> skip_fields;

  std::shared_ptr<IvfIndex> current() const;
  // Runs f(IvfIndex* or nullptr) on the held segment while holding the
  // `inner` mutex, so the segment cannot be swapped out meanwhile.
  template <typename F>
  auto with_current(F&& f) const {
    std::lock_guard<std::mutex> g(inner_mu_);
    return f(inner_.get());
  }
  // Installs `seg` and returns what was held before.
  std::shared_ptr<IvfIndex> exchange(std::shared_ptr<IvfIndex> seg);

  uint64_t loaded_generation() const;
  void set_loaded_generation(uint64_t gen);

  uint32_t durability_interval() const;
  void set_durability_interval(uint32_t v);
  uint64_t wal_sync_ms() const;
  void set_wal_sync_ms(uint64_t v);

  // The `generation` value read less than 50 ms ago, if any.
  std::optional<uint64_t> cached_generation(uint64_t now_ns) const;
  void record_probe(uint64_t now_ns, uint64_t gen);
  void clear_probe();

  // Serialises reopening within the process, so that threads finding the
  // same stale segment open it once. Taken before the directory lock.
  std::mutex reopen_mu;

  // Held shared by add and delete from before they take the segment until
  // their operation is logged and applied to it; close() holds it
  // exclusively while it lets go of the segment. A write's segment is thus
  // never dropped between the two, when a reopen by another thread could
  // replay the log without the write's frame and the handle would stop
  // seeing a write it acknowledged. Taken after the directory lock, before
  // reopen_mu; writer-preferring, so writes cannot keep close() out.
  RwLock writes_in_flight;

 private:
  mutable std::mutex inner_mu_;
  std::shared_ptr<IvfIndex> inner_;
  mutable std::mutex generation_mu_;
  uint64_t loaded_generation_ = 0;
  mutable std::mutex durability_mu_;
  uint32_t durability_interval_ = 1;
  mutable std::mutex wal_sync_mu_;
  uint64_t wal_sync_ms_ = 0;
  mutable std::mutex probe_mu_;
  std::optional<std::pair<uint64_t, uint64_t>> gen_probe_;  // (monotonic ns, generation)
};

// The Python object.
struct HandleObject {
  PyObject_HEAD
  Handle* handle;
};

// The ZevireDarir type object, created on first use (a new reference is
// not returned: the type lives for the whole process). Null with an error
// set when creation failed.
PyObject* ZevireDarirType();
// The handle behind `self`; null with TypeError set when `self` is not a
// ZevireDarir.
Handle* HandleOf(PyObject* self);

// ---- segment access --------------------------------------------------------

struct SegmentOrErr {
  std::shared_ptr<IvfIndex> segment;
  std::optional<SearchErr> err;
};

// Interpreter lock released. The current segment after the staleness check
// (cached probe), or SearchErr::Io / SearchErr::NotOpened.
SegmentOrErr opened_search(Handle& h);
// Interpreter lock held; releases it for the staleness check. Null with
// OSError / RuntimeError set on failure.
std::shared_ptr<IvfIndex> opened_off_gil(Handle& h);
// Re-reads `generation` on every call (no cache). It may block on the
// directory lock, which `build` holds while it takes the interpreter lock
// back: call it with the interpreter lock released, or it can deadlock
// against a build on another thread of this process.
SegmentOrErr opened(Handle& h);

// ---- handle operations -----------------------------------------------------

// Opens "<dir>.lock" read-write, creating it (mode 0666) when missing and
// never truncating it. Callers flock it and close it to release.
Result<platform::File> lock_file(const std::string& dir);
// lock_file, then a blocking flock of the given kind on it; the lock lasts
// until the returned file is closed. On a failed flock the file is closed.
Result<platform::File> locked_directory(const std::string& dir, platform::LockKind kind);
// Copies the handle's durability settings into `seg`, resets its last-sync
// time, installs it and returns the previous segment.
std::shared_ptr<IvfIndex> swap_inner(Handle& h, std::shared_ptr<IvfIndex> seg);
// Interpreter lock held: lets go of the held segment, releasing it with the
// lock released (its destructor flushes the log).
void drop_inner(Handle& h);
// Interpreter lock held; the caller holds the exclusive directory lock.
// Opens the directory afresh and installs it; on failure (a segment of
// another dimension included) the handle keeps what it held.
Status reload_after_bump(Handle& h);
// After a swap: reopen the live directory; on success remove `old_dir`, on
// failure move the new directory to "<dir>.broken", put the old one back,
// reopen it and return the first error. Interpreter lock held.
Status publish_swapped(Handle& h, const std::string& old_dir);
// True when the live manifest exists, after restoring an orphaned
// "<dir>.old" when the live one is missing.
bool heal_orphaned_compaction(Handle& h);
// Interpreter lock held: takes the exclusive directory lock (releasing the
// interpreter lock for the wait). On failure raises OSError whose message
// renders the failure as an exception ("OSError: ...") and returns false.
bool LockExclusive(Handle& h, std::optional<platform::File>* lock);
// Interpreter lock released; the caller holds the exclusive directory lock.
// Checkpoints the directory's state: in place when the handle's segment is
// current (then the handle records the new generation), else through a
// freshly opened view, which replays the whole log.
Status checkpoint_locked(Handle& h);
// Interpreter lock held; the caller holds the exclusive directory lock.
// Replaces the live directory by `staging` (a complete segment): flushes,
// renames through "<dir>.old", reopens, and puts the old one back if the
// new one does not open. On failure raises (the kind-specific OSError
// subclass for the flushes and renames) and returns false.
bool swap_in(Handle& h, const std::string& staging);

// ---- directory helpers -----------------------------------------------------

// "<parent>/<name><suffix>" for a resolved directory path: the lock file
// and the swap directories beside it.
std::string sibling(const std::string& path, std::string_view suffix);
// Renames live -> old, then staging -> live; returns the first failure.
Status swap_dirs(const std::string& live, const std::string& old, const std::string& staging);
// Completes or rolls back an interrupted swap and removes leftover
// staging directories and temporary files. Never fails.
void recover(const std::string& path);

// ---- method bodies (methods_*.cc) -----------------------------------------

PyObject* MethodBuild(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodSearch(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodSearchHybrid(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodSparseSearch(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodCount(PyObject* self, PyObject* unused);
PyObject* MethodStats(PyObject* self, PyObject* unused);
PyObject* MethodFitCount(PyObject* self, PyObject* unused);
PyObject* MethodQuantScale(PyObject* self, PyObject* unused);
PyObject* MethodFormatVersion(PyObject* self, PyObject* unused);
PyObject* MethodSetDurability(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodSetWalSyncMs(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodWalSyncCount(PyObject* self, PyObject* unused);
PyObject* MethodClose(PyObject* self, PyObject* unused);
PyObject* MethodAdd(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodDelete(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodSync(PyObject* self, PyObject* unused);
PyObject* MethodFlush(PyObject* self, PyObject* unused);
PyObject* MethodCompact(PyObject* self, PyObject* unused);
PyObject* MethodRebuild(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodVerifyIntegrity(PyObject* self, PyObject* unused);
PyObject* MethodGetMeta(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodGetMetaBounded(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodHasIds(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodGetVectors(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodGetSparse(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodPcaBasis(PyObject* self, PyObject* unused);
PyObject* MethodAggregateByIds(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodIdsMatching(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodCountMatching(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodExistsMatching(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodIdsMatchingLimit(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodCalibrateNprobe(PyObject* self, PyObject* args, PyObject* kw);  // methods_calibrate.cc
// Static methods (`self` is null): methods_across.cc, nmql_fuse methods_fuse.cc.
PyObject* MethodDistancesToMany(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodNmqlFuse(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodMetaStatusAcross(PyObject* self, PyObject* args, PyObject* kw);
PyObject* MethodMetaStatusColumns(PyObject* self, PyObject* args, PyObject* kw);
// The module function merge_segments: methods_merge.cc.
PyObject* MergeSegments(PyObject* module, PyObject* args, PyObject* kw);

}  // namespace nimbrel::py
