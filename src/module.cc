// The module initialiser: the only symbol the shared library exports.
//
// Nothing runs at load time. The module object is created at most once per
// process: its functions and the handle type keep process-wide state (the
// open counter, the residency switches, the type object), which a second
// copy of the module would share without knowing it.
#include "errors.h"
#include "handle.h"

namespace nimbrel::py {

PyMethodDef* ModuleFunctions();  // functions.cc

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "nimbrel",
    "One on-disk segment of a vector collection: IVF search over bit-plane codes,\n"
    "metadata filters and bulk build.",
    0,  // no per-module state: a re-initialisation must reach PyInit_nimbrel
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

bool g_initialised = false;  // guarded by the interpreter lock

// Adds `value` (a new reference, stolen) under `name` and lists it in __all__.
bool AddExported(PyObject* module, PyObject* all, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  if (PyModule_AddObject(module, name, value) != 0) {
    Py_DECREF(value);
    return false;
  }
  PyObject* text = PyUnicode_FromString(name);
  if (text == nullptr) return false;
  int rc = PyList_Append(all, text);
  Py_DECREF(text);
  return rc == 0;
}

PyObject* CreateModule() {
  if (g_initialised) {
    PyErr_SetString(PyExc_ImportError,
                    "nimbrel may only be initialized once per interpreter process");
    return nullptr;
  }
  PyObject* module = PyModule_Create(&g_module_def);
  if (module == nullptr) return nullptr;
  PyObject* all = PyList_New(0);
  if (all == nullptr || PyModule_AddObject(module, "__all__", all) != 0) {
    Py_XDECREF(all);
    Py_DECREF(module);
    return nullptr;
  }
  // __all__ is borrowed from here on; the module holds it.
  PyObject* type = ZevireDarirType();
  Py_XINCREF(type);
  bool ok = AddExported(module, all, "ZevireDarir", type);
  PyObject* module_name = PyModule_GetNameObject(module);
  ok = ok && module_name != nullptr;
  for (PyMethodDef* def = ModuleFunctions(); ok && def->ml_name != nullptr; ++def) {
    ok = AddExported(module, all, def->ml_name, PyCFunction_NewEx(def, module, module_name));
  }
  Py_XDECREF(module_name);
  if (!ok) {
    Py_DECREF(module);
    return nullptr;
  }
  g_initialised = true;
  return module;
}

}  // namespace

}  // namespace nimbrel::py

PyMODINIT_FUNC PyInit_nimbrel(void) {
  return nimbrel::py::GuardEntry([] { return nimbrel::py::CreateModule(); });
}
