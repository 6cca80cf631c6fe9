// add, delete and sync: the logged writes and the flush of the log tail.
//
// add and delete check their arguments with the interpreter lock held,
// then release it once for the directory lock (shared), the staleness
// check and the segment's own log-apply-commit sequence. See
// docs/write-path.md for what each step guarantees.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "convert.h"
#include "handle.h"
#include "ivf_rabitq/json_text.h"
#include "ivf_rabitq/segment_format.h"
#include "ivf_rabitq/storage.h"

namespace nimbrel::py {

namespace {

// The segment under the shared directory lock, for a logged write. The
// lock is released when the returned file closes. The handle's
// writes-in-flight lock keeps close() from dropping the segment until the
// write is logged and applied to it.
struct LockedSegment {
  std::optional<platform::File> lock;
  std::shared_lock<RwLock> in_flight;
  std::shared_ptr<IvfIndex> segment;
};

std::optional<SearchErr> LockForWrite(Handle& h, LockedSegment* out) {
  Result<platform::File> lock = locked_directory(h.path, platform::LockKind::kShared);
  if (!lock.ok()) return SearchErr::Io(lock.status().message());
  out->lock.emplace(std::move(lock).value());
  out->in_flight = std::shared_lock<RwLock>(h.writes_in_flight);
  SegmentOrErr seg = opened(h);
  if (seg.err) return std::move(seg.err);
  out->segment = std::move(seg.segment);
  return std::nullopt;
}

}  // namespace

PyObject* MethodAdd(PyObject* self, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"id", "vector", "metadata", "sparse", nullptr};
  PyObject *py_id = nullptr, *py_vector = nullptr, *py_meta = nullptr, *py_sparse = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "OO|OO:add", const_cast<char**>(kKeywords), &py_id, &py_vector,
                                   &py_meta, &py_sparse)) {
    return nullptr;
  }
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  WalOp op;
  std::optional<std::string> meta_text;
  if (!ToString(py_id, "id", &op.id) || !ToOptString(py_meta, "metadata", &meta_text)) return nullptr;
  if (py_sparse != nullptr && py_sparse != Py_None && !ToSparseRow(py_sparse, "sparse", &op.sparse)) return nullptr;
  std::vector<float> scratch;
  F32View vector;
  if (!ToVectorArg(py_vector, h->dim, &scratch, &vector)) return nullptr;
  if (auto err = require_finite_vec(vector.data, vector.size, "vector")) return value_err(*err);
  if (!require_finite_sparse_write(op.sparse)) return nullptr;
  // Metadata is parsed here, where a bad text can still be refused as an
  // argument; the segment stores its canonical form.
  nlohmann::json meta;
  if (meta_text) {
    meta = parse_json_text(*meta_text);
    if (meta.is_discarded()) {
      return value_err("metadata is not valid JSON (" + json_parse_error(*meta_text) + ")");
    }
    if (nested_deeper_than(meta, kMaxMetadataDepth)) {
      return value_err("metadata is nested more than " + std::to_string(kMaxMetadataDepth) + " levels deep");
    }
  }
  op.vector.assign(vector.data, vector.data + vector.size);
  op.meta = canonical_json(meta);

  std::optional<SearchErr> err;
  Status st;
  bool ran = WithoutGil([&] {
    err = GuardQuery([&]() -> std::optional<SearchErr> {
      LockedSegment locked;
      if (auto e = LockForWrite(*h, &locked)) return e;
      st = CallCore([&] { return locked.segment->add(std::move(op), &meta); });
      return std::nullopt;
    });
  });
  if (!ran) return nullptr;
  if (err) return map_search_err(std::move(*err));
  if (!st.ok()) return io_err(st);
  Py_RETURN_NONE;
}

PyObject* MethodDelete(PyObject* self, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"id", nullptr};
  PyObject* py_id = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "O:delete", const_cast<char**>(kKeywords), &py_id)) return nullptr;
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  std::string id;
  if (!ToString(py_id, "id", &id)) return nullptr;

  // Every failure of the body is text: the lock and segment steps as the
  // exception they stand for would render ("RuntimeError: index not
  // built/opened"), the log and commit errors as their own text.
  std::optional<std::string> failure;
  bool removed = false;
  bool ran = WithoutGil([&] {
    std::optional<SearchErr> err = GuardQuery([&]() -> std::optional<SearchErr> {
      LockedSegment locked;
      if (auto e = LockForWrite(*h, &locked)) return e;
      Result<bool> r = CallCore([&] { return locked.segment->remove(id); });
      if (!r.ok()) {
        failure = r.status().message();
      } else {
        removed = *r;
      }
      return std::nullopt;
    });
    if (err) failure = err->Rendered();
  });
  if (!ran) return nullptr;
  if (failure) return io_err(*failure);
  return PyBool_FromLong(removed ? 1 : 0);
}

PyObject* MethodSync(PyObject* self, PyObject*) {
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  std::optional<platform::File> lock;  // held to the end, reload included
  if (!LockExclusive(*h, &lock)) return nullptr;
  Status st;
  bool reload = false;
  if (!WithoutGil([&] {
        st = CallCore([&]() -> Status {
          std::shared_ptr<IvfIndex> cur = h->current();
          // After a failed flush only a checkpoint, which writes the state
          // from memory, makes the operations durable again.
          if (cur && cur->wal_flush_failed()) return checkpoint_locked(*h);
          if (cur) return cur->sync_wal();
          // No segment held: other handles' appends may still need the flush.
          Result<platform::File> f = platform::File::Open(platform::JoinPath(h->path, segment::kWalFile),
                                                          platform::File::kRead);
          if (!f.ok()) return f.status().code() == Code::kNotFound ? Status::Ok() : f.status();
          return f->Sync();
        });
        // Replaced by another writer, or checkpointed through a fresh view.
        reload = st.ok() && platform::Exists(platform::JoinPath(h->path, segment::kManifestFile)) &&
                 (!h->current() || h->loaded_generation() != storage::read_generation(h->path));
      })) {
    return nullptr;
  }
  if (!st.ok()) return io_err(st);
  if (reload) {
    if (Status r = reload_after_bump(*h); !r.ok()) return io_err(r);
  }
  Py_RETURN_NONE;
}

}  // namespace nimbrel::py
