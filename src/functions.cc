// Module functions that act on the whole process rather than one segment.
#include "convert.h"
#include "errors.h"
#include "ivf_rabitq/index.h"
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

// The module functions in registration order, null-terminated.
PyMethodDef* ModuleFunctions() {
  static PyMethodDef functions[] = {
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
      {nullptr, nullptr, 0, nullptr},
  };
  return functions;
}

}  // namespace nimbrel::py
