// flush, compact, rebuild and verify_integrity: the methods that rewrite a
// segment directory (under the exclusive directory lock) or check it
// (under the shared one).
//
// flush checkpoints; compact and rebuild write a whole new directory next
// to the live one ("<dir>.compacting") and swap it in. All three work from
// the directory's state on disk: a fresh open replays every process's
// logged operations, so none is lost. docs/write-path.md has the details.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "convert.h"
#include "handle.h"
#include "ivf_rabitq/segment_format.h"
#include "ivf_rabitq/storage.h"

namespace nimbrel::py {

namespace {

uint64_t FloorSqrt(uint64_t n) {
  uint64_t r = static_cast<uint64_t>(std::sqrt(static_cast<double>(n)));
  while (r > 0 && r * r > n) --r;
  while ((r + 1) * (r + 1) <= n) ++r;
  return r;
}

// The common start of flush, compact and rebuild: the exclusive lock, then
// the repair of a swap interrupted between its renames. False (with the
// exception set) when the lock failed; *has_segment false when there is
// still nothing to work on.
bool Prologue(Handle& h, std::optional<platform::File>* lock, bool* has_segment) {
  if (!LockExclusive(h, lock)) return false;
  return WithoutGil([&] { *has_segment = heal_orphaned_compaction(h); });
}

// Writes the new directory with `write(staging, generation)`, carries
// wal.corrupt.bin over, and swaps it in. Interpreter lock held; the caller holds the exclusive lock.
template <typename WriteFn>
PyObject* ReplaceDirectory(Handle& h, WriteFn write) {
  const std::string staging = sibling(h.path, ".compacting");
  Status st;
  if (!WithoutGil([&] {
        // A staging directory left by a crashed run is never resumed.
        (void)platform::RemoveAll(staging);
        const uint64_t generation = storage::read_generation(h.path) + 1;
        st = CallCore([&]() -> Status {
          NIMBREL_ASSIGN_OR_RETURN(std::shared_ptr<IvfIndex> fresh,
                                   IvfIndex::open_with_skip(h.path, h.skip_fields, h.dim));
          NIMBREL_RETURN_IF_ERROR(write(*fresh, staging, generation));
          // The damaged log bytes are kept across the swap, with those
          // this open skipped: its log goes with the old directory.
          return fresh->carry_damaged_log(staging);
        });
      })) {
    return nullptr;
  }
  if (!st.ok()) return io_err(st);
  if (!swap_in(h, staging)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

PyObject* MethodFlush(PyObject* self, PyObject*) {
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  std::optional<platform::File> lock;
  bool has_segment = false;
  if (!Prologue(*h, &lock, &has_segment)) return nullptr;
  if (!has_segment) Py_RETURN_NONE;
  Status st;
  bool reload = false;
  if (!WithoutGil([&] {
        st = CallCore([&] { return checkpoint_locked(*h); });
        // In place, the handle already holds the checkpointed segment.
        reload = st.ok() && (!h->current() || h->loaded_generation() != storage::read_generation(h->path));
      })) {
    return nullptr;
  }
  if (!st.ok()) return io_err(st);
  if (reload) {
    if (Status r = reload_after_bump(*h); !r.ok()) return io_err(r);
  }
  Py_RETURN_NONE;
}

PyObject* MethodCompact(PyObject* self, PyObject*) {
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  std::optional<platform::File> lock;
  bool has_segment = false;
  if (!Prologue(*h, &lock, &has_segment)) return nullptr;
  if (!has_segment) Py_RETURN_NONE;
  return ReplaceDirectory(*h, [](const IvfIndex& fresh, const std::string& staging, uint64_t generation) {
    return fresh.compact_to(staging, generation);
  });
}

PyObject* MethodRebuild(PyObject* self, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"n_clusters", nullptr};
  PyObject* py_clusters = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "|O:rebuild", const_cast<char**>(kKeywords), &py_clusters)) {
    return nullptr;
  }
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  std::optional<uint64_t> n_clusters;
  if (py_clusters != nullptr && py_clusters != Py_None) {
    uint64_t v;
    if (!ToU64(py_clusters, "n_clusters", &v)) return nullptr;
    n_clusters = v;
  }
  std::optional<platform::File> lock;
  bool has_segment = false;
  if (!Prologue(*h, &lock, &has_segment)) return nullptr;
  if (!has_segment) Py_RETURN_NONE;
  return ReplaceDirectory(*h, [&](const IvfIndex& fresh, const std::string& staging, uint64_t generation) -> Status {
    NIMBREL_ASSIGN_OR_RETURN(std::unique_ptr<IvfIndex::LiveRows> live, fresh.live_rows());
    BuildInput& in = live->input;
    in.dir = staging;
    in.n_clusters = std::max<uint64_t>(n_clusters ? *n_clusters : FloorSqrt(in.n), 1);
    // The segment's own bit width, as compaction keeps it (the handle's
    // n_bits is what a build writes).
    in.n_bits = fresh.manifest().n_bits;
    in.seed = fresh.manifest().seed;
    NIMBREL_RETURN_IF_ERROR(IvfIndex::build(in));
    return storage::write_generation(staging, generation);
  });
}

PyObject* MethodVerifyIntegrity(PyObject* self, PyObject*) {
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  std::optional<SearchErr> err;
  std::vector<std::string> messages;
  bool legacy = false;
  if (!WithoutGil([&] {
        err = GuardQuery([&]() -> std::optional<SearchErr> {
          // Shared: no build, checkpoint or swap replaces a file meanwhile.
          Result<platform::File> lock = locked_directory(h->path, platform::LockKind::kShared);
          if (!lock.ok()) return SearchErr::Io(lock.status().message());
          SegmentOrErr seg = opened(*h);
          if (seg.err) return std::move(seg.err);
          const std::map<std::string, uint32_t>& recorded = seg.segment->recorded_crcs();
          if (recorded.empty()) {
            legacy = true;
            messages.push_back("no per-file checksums recorded (legacy index; run vacuum/rebuild to enable)");
            return std::nullopt;
          }
          // std::map iterates in ascending byte order of the names.
          std::vector<uint8_t> buffer(64 * 1024, 0);
          for (const auto& [name, want] : recorded) {
            Result<uint32_t> got =
                storage::crc32_file_with_buffer(platform::JoinPath(seg.segment->path(), name), buffer);
            if (!got.ok()) {
              messages.push_back(name + ": unreadable (" + got.status().message() + ")");
            } else if (*got != want) {
              char text[64];
              std::snprintf(text, sizeof text, ": checksum mismatch (got %08x, want %08x)", *got, want);
              messages.push_back(name + text);
            }
          }
          return std::nullopt;
        });
      })) {
    return nullptr;
  }
  if (err) return map_search_err(std::move(*err));
  const bool ok = legacy || messages.empty();
  PyObject* list = TextList(messages);
  if (list == nullptr) return nullptr;
  return Py_BuildValue("(NN)", PyBool_FromLong(ok ? 1 : 0), list);
}

}  // namespace nimbrel::py
