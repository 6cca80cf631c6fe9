// Status readers and durability settings.
//
// count, stats, fit_count, quant_scale and wal_sync_count report the
// segment held at this moment and never open or reload one: the host calls
// them often for its maintenance decisions, and they must stay cheap and
// free of file-system work. format_version goes through the normal
// staleness check.
#include "convert.h"
#include "handle.h"

namespace nimbrel::py {

namespace {

PyObject* U64(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

bool ParseOne(PyObject* args, PyObject* kw, const char* format, const char* name, PyObject** out) {
  const char* keywords[] = {name, nullptr};
  return PyArg_ParseTupleAndKeywords(args, kw, format, const_cast<char**>(keywords), out) != 0;
}

}  // namespace

PyObject* MethodCount(PyObject* self, PyObject*) {
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  // The segment's read locks may wait behind a writer that waits for the
  // searches running: not with the interpreter lock held.
  uint64_t live = 0;
  if (!WithoutGil([&] { live = h->with_current([](IvfIndex* seg) { return seg ? seg->live_count() : 0; }); })) {
    return nullptr;
  }
  return U64(live);
}

PyObject* MethodStats(PyObject* self, PyObject*) {
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  struct Counts {
    uint64_t main = 0, delta = 0, tombstones = 0;
  };
  Counts c;
  if (!WithoutGil([&] {  // as in count
        c = h->with_current([](IvfIndex* seg) {
          Counts out;
          if (seg != nullptr) {
            out.delta = seg->delta_count();
            out.tombstones = seg->tombstone_count();
            out.main = seg->main_count();
          }
          return out;
        });
      })) {
    return nullptr;
  }
  return Py_BuildValue("(KKK)", static_cast<unsigned long long>(c.main),
                       static_cast<unsigned long long>(c.delta),
                       static_cast<unsigned long long>(c.tombstones));
}

PyObject* MethodFitCount(PyObject* self, PyObject*) {
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  return U64(h->with_current([](IvfIndex* seg) { return seg ? seg->manifest().fit_count : 0; }));
}

PyObject* MethodQuantScale(PyObject* self, PyObject*) {
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  float scale = h->with_current([](IvfIndex* seg) { return seg ? seg->manifest().quant_scale : 0.0f; });
  return PyFloat_FromDouble(static_cast<double>(scale));
}

PyObject* MethodWalSyncCount(PyObject* self, PyObject*) {
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  return U64(h->with_current([](IvfIndex* seg) -> uint64_t {
    return seg ? seg->wal_flush_count.load() : 0;
  }));
}

PyObject* MethodFormatVersion(PyObject* self, PyObject*) {
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  std::shared_ptr<IvfIndex> seg = opened_off_gil(*h);
  if (!seg) return nullptr;
  return Py_BuildValue("(II)", static_cast<unsigned int>(seg->format_version()),
                       static_cast<unsigned int>(kFormatVersion));
}

PyObject* MethodSetDurability(PyObject* self, PyObject* args, PyObject* kw) {
  PyObject* py_interval = nullptr;
  if (!ParseOne(args, kw, "O:set_durability", "interval", &py_interval)) return nullptr;
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  uint32_t interval = 0;
  if (!ToU32(py_interval, "interval", &interval)) return nullptr;
  // 0 and 1 both mean a flush after every logged operation.
  uint32_t v = interval == 0 ? 1 : interval;
  h->set_durability_interval(v);
  h->with_current([v](IvfIndex* seg) {
    if (seg != nullptr) seg->group_commit_interval = v;
  });
  Py_RETURN_NONE;
}

PyObject* MethodSetWalSyncMs(PyObject* self, PyObject* args, PyObject* kw) {
  PyObject* py_ms = nullptr;
  if (!ParseOne(args, kw, "O:set_wal_sync_ms", "ms", &py_ms)) return nullptr;
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;
  uint64_t ms = 0;
  if (!ToU64(py_ms, "ms", &ms)) return nullptr;
  h->set_wal_sync_ms(ms);
  h->with_current([ms](IvfIndex* seg) {
    if (seg == nullptr) return;
    seg->wal_sync_ms = ms;
    // The next time-based flush comes at the first logged operation at
    // least `ms` after this call.
    seg->reset_last_sync();
  });
  Py_RETURN_NONE;
}

}  // namespace nimbrel::py
