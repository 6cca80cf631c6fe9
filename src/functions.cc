// Module functions that act on the whole process rather than one segment.
#include "convert.h"
#include "errors.h"
#include "handle.h"
#include "ivf_rabitq/index.h"
#include "ivf_rabitq/json_scan.h"
#include "ivf_rabitq/storage.h"

namespace nimbrel::py {

namespace {

constexpr uint8_t kSwitchOff = 1;
constexpr uint8_t kSwitchOn = 2;

// The residency policy for memory maps made from now on. Segments are
// opened on threads that run without the interpreter lock, where reading
// an environment another thread modifies would race; this switch replaces
// NIMBREL_PREWARM / NIMBREL_MLOCK for the rest of the process.
PyObject* SetResidency(PyObject*, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"prewarm", "mlock", nullptr};
  PyObject *py_prewarm = nullptr, *py_mlock = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "OO:set_residency", const_cast<char**>(kKeywords),
                                   &py_prewarm, &py_mlock)) {
    return nullptr;
  }
  bool prewarm = false, mlock = false;
  if (!ToBool(py_prewarm, "prewarm", &prewarm) || !ToBool(py_mlock, "mlock", &mlock)) return nullptr;
  PREWARM_STATE.store(prewarm ? kSwitchOn : kSwitchOff);
  MLOCK_STATE.store(mlock ? kSwitchOn : kSwitchOff);
  Py_RETURN_NONE;
}

// The slot guard of the write paths as a pure test.
PyObject* SlotSpaceOk(PyObject*, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"current", "adding", nullptr};
  PyObject *py_current = nullptr, *py_adding = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "OO:slot_space_ok", const_cast<char**>(kKeywords),
                                   &py_current, &py_adding)) {
    return nullptr;
  }
  uint64_t current = 0, adding = 0;
  if (!ToU64(py_current, "current", &current) || !ToU64(py_adding, "adding", &adding)) return nullptr;
  return PyBool_FromLong(slot_space_ok(current, adding));
}

PyObject* IvfOpenCount(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLongLong(OPEN_COUNT.load(std::memory_order_relaxed));
}

}  // namespace

// ---- JSON structure scanners ---------------------------------------------

// Inputs this large are scanned with the interpreter lock released.
constexpr size_t kScanReleaseBytes = 16384;

json_scan::Counts ScanBytes(const char* data, size_t len, uint32_t state, bool* failed) {
  json_scan::Counts c;
  auto run = [&] { c = json_scan::scan(reinterpret_cast<const uint8_t*>(data), len, state); };
  if (len < kScanReleaseBytes) {
    run();
  } else if (!WithoutGil(run)) {
    *failed = true;
  }
  return c;
}

PyObject* CountsTuple(const json_scan::Counts& c) {
  return Py_BuildValue("(KKK)", static_cast<unsigned long long>(c.commas),
                       static_cast<unsigned long long>(c.openers), static_cast<unsigned long long>(c.colons));
}

// One text of a batch: its UTF-8 bytes scanned from state 0, added to the totals.
bool AddJsonText(PyObject* item, json_scan::Counts* totals) {
  if (!PyUnicode_Check(item)) return CannotConvert(item, "PyString");
  PyObject* utf8 = PyUnicode_AsUTF8String(item);
  if (utf8 == nullptr) return false;
  char* data = nullptr;
  Py_ssize_t len = 0;
  bool ok = PyBytes_AsStringAndSize(utf8, &data, &len) == 0;
  if (ok) {
    bool failed = false;
    const json_scan::Counts c = ScanBytes(data, static_cast<size_t>(len), 0, &failed);
    ok = !failed;
    totals->commas += c.commas;
    totals->openers += c.openers;
    totals->colons += c.colons;
  }
  Py_DECREF(utf8);
  return ok;
}

PyObject* ScanJsonChunk(PyObject*, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"data", "state", nullptr};
  PyObject *py_data = nullptr, *py_state = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "O|O:scan_json_chunk", const_cast<char**>(kKeywords), &py_data,
                                   &py_state)) {
    return nullptr;
  }
  const char* data = nullptr;
  size_t len = 0;
  if (!ToBytes(py_data, "data", &data, &len)) return nullptr;
  int64_t state = 0;
  if (py_state != nullptr && !ToI64(py_state, "state", &state)) return nullptr;
  if (state < 0 || state > 3) return value_err("JSON scanner state must be in 0..3");
  bool failed = false;
  const json_scan::Counts c = ScanBytes(data, len, static_cast<uint32_t>(state), &failed);
  if (failed) return nullptr;
  return Py_BuildValue("(KKKI)", static_cast<unsigned long long>(c.commas),
                       static_cast<unsigned long long>(c.openers), static_cast<unsigned long long>(c.colons),
                       static_cast<unsigned int>(c.state));
}

PyObject* ScanJsonText(PyObject*, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"text", nullptr};
  PyObject* py_text = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "O:scan_json_text", const_cast<char**>(kKeywords), &py_text)) {
    return nullptr;
  }
  std::string text;
  if (!ToString(py_text, "text", &text)) return nullptr;
  bool failed = false;
  const json_scan::Counts c = ScanBytes(text.data(), text.size(), 0, &failed);
  if (failed) return nullptr;
  return CountsTuple(c);
}

PyObject* ScanJsonTexts(PyObject*, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"texts", nullptr};
  PyObject* texts = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "O:scan_json_texts", const_cast<char**>(kKeywords), &texts)) {
    return nullptr;
  }
  if (PyUnicode_Check(texts)) {
    PyErr_SetString(PyExc_TypeError, "expected an iterable of JSON strings");
    return nullptr;
  }
  json_scan::Counts totals;
  if (PyList_Check(texts)) {
    // By index, and never past the length it had at the start.
    const Py_ssize_t n = PyList_Size(texts);
    for (Py_ssize_t i = 0; i < n && i < PyList_Size(texts); ++i) {
      PyObject* item = PyList_GetItem(texts, i);  // borrowed
      Py_INCREF(item);                           // a large item's scan releases the lock
      const bool ok = AddJsonText(item, &totals);
      Py_DECREF(item);
      if (!ok) return nullptr;
    }
  } else if (PyTuple_Check(texts)) {
    const Py_ssize_t n = PyTuple_Size(texts);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!AddJsonText(PyTuple_GetItem(texts, i), &totals)) return nullptr;
    }
  } else {
    PyObject* it = PyObject_GetIter(texts);
    if (it == nullptr) return nullptr;
    while (PyObject* item = PyIter_Next(it)) {
      const bool ok = AddJsonText(item, &totals);
      Py_DECREF(item);
      if (!ok) {
        Py_DECREF(it);
        return nullptr;
      }
    }
    Py_DECREF(it);
    if (PyErr_Occurred()) return nullptr;
  }
  return CountsTuple(totals);
}

// The module functions in registration order, null-terminated.
PyMethodDef* ModuleFunctions() {
  static PyMethodDef functions[] = {
      {"merge_segments", KwEntry<MergeSegments>(), METH_VARARGS | METH_KEYWORDS,
       "merge_segments(out, dirs, tombstones, n_clusters, scale, skip, pca, n_bits, seed=42)\n--\n\n"
       "Build one segment at `out` from the live rows of the segment directories `dirs`\n"
       "(an id live in several is taken from the later one), leaving out the ids in\n"
       "`tombstones`. Returns (rows written, ids left out)."},
      {"slot_space_ok", KwEntry<SlotSpaceOk>(), METH_VARARGS | METH_KEYWORDS,
       "slot_space_ok(current, adding)\n--\n\n"
       "Whether a segment with `current` rows can take `adding` more: their sum\n"
       "must stay below 4294967295, the u32 slot capacity."},
      {"ivf_open_count", NoArgsEntry<IvfOpenCount>(), METH_NOARGS,
       "ivf_open_count()\n--\n\n"
       "How many times this process has tried to open a segment."},
      {"set_residency", KwEntry<SetResidency>(), METH_VARARGS | METH_KEYWORDS,
       "set_residency(prewarm, mlock)\n--\n\n"
       "Residency of the hot memory maps of segments opened from now on: prewarm\n"
       "them with will-need advice, lock them in RAM. Overrides NIMBREL_PREWARM\n"
       "and NIMBREL_MLOCK for the rest of the process."},
      {"scan_json_chunk", KwEntry<ScanJsonChunk>(), METH_VARARGS | METH_KEYWORDS,
       "scan_json_chunk(data, state=0)\n--\n\n"
       "Return `(commas, openers, colons, next_state)` for a JSON byte chunk.\n"
       "State bit 0 means inside a string; bit 1 means an odd trailing backslash run."},
      {"scan_json_text", KwEntry<ScanJsonText>(), METH_VARARGS | METH_KEYWORDS,
       "scan_json_text(text)\n--\n\n"
       "Return `(commas, openers, colons)` outside quoted strings in a JSON text."},
      {"scan_json_texts", KwEntry<ScanJsonTexts>(), METH_VARARGS | METH_KEYWORDS,
       "scan_json_texts(texts)\n--\n\n"
       "Aggregate independent JSON texts with one Python-to-native call and no joined copy.\n"
       "Lists and tuples avoid Python iterator allocation; other iterables stream itemwise."},
      {nullptr, nullptr, 0, nullptr},
  };
  return functions;
}

}  // namespace nimbrel::py
