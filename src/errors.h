// Turning failures into Python exceptions, and keeping C++ exceptions out
// of the interpreter.
//
// Core calls return Status / Result values. Code that runs without the
// interpreter lock may not create Python objects, so query paths carry
// their failures back as SearchErr and convert them once the lock is held
// again. A C++ exception must never unwind into CPython (and one thrown
// while the lock is released would also lose the thread state), so every
// core call is wrapped in CallCore and every lock-released region in
// WithoutGil.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "ivf_rabitq/status.h"
#include "ivf_rabitq/thread_pool.h"

namespace nimbrel::py {

// The error value of the code that runs with the interpreter lock released.
struct SearchErr {
  enum class Kind { kIo, kInvalid, kRuntime };
  Kind kind = Kind::kRuntime;
  std::string message;

  static SearchErr Io(std::string m) { return {Kind::kIo, std::move(m)}; }
  static SearchErr Invalid(std::string m) { return {Kind::kInvalid, std::move(m)}; }
  static SearchErr Runtime(std::string m) { return {Kind::kRuntime, std::move(m)}; }
  static SearchErr NotOpened() { return Runtime("index not built/opened"); }

  // The error as Python would render the exception it becomes:
  // "{TypeName}: {message}". Bodies that report failures as text use it.
  std::string Rendered() const;
};

// Each of these sets the pending Python exception and returns nullptr, so
// an entry point can `return map_search_err(e);`.
PyObject* map_search_err(SearchErr err);
PyObject* value_err(const std::string& text);
PyObject* runtime_err(const std::string& text);
// OSError carrying the error's display text.
PyObject* io_err(const Status& st);
PyObject* io_err(const std::string& text);
// The standard OSError subclass for the error's kind (FileNotFoundError,
// PermissionError, FileExistsError, ...), plain OSError for other kinds.
// Used for the directory flushes and renames of a directory swap.
PyObject* io_err_by_kind(const Status& st);

// The exception raised for a broken internal invariant. It derives from
// BaseException, not Exception, so ordinary `except Exception` handlers do
// not swallow it. Created on first use.
PyObject* PanicExceptionType();
PyObject* RaisePanic(const std::string& what);

namespace internal {
std::string DescribeCurrentException() noexcept;
// Called inside a catch block: raises the caught exception as the panic
// exception. If even that fails, prints "uncaught panic at ffi boundary"
// and aborts: nothing may unwind into the interpreter.
PyObject* RaiseCaughtAsPanic() noexcept;
}  // namespace internal

// Runs a core call that returns a Status or a Result<T>, turning any C++
// exception it throws (out of memory, a thread-pool failure) into an error
// value of the same type. Never throws.
template <typename F>
auto CallCore(F&& f) noexcept -> decltype(f()) {
  using R = decltype(f());
  try {
    return f();
  } catch (...) {
    return R(Status(Code::kIoError, "internal error: " + internal::DescribeCurrentException()));
  }
}

// Runs a query body that reports failure as an optional SearchErr; a C++
// exception thrown inside becomes SearchErr::Runtime. Never throws.
template <typename F>
std::optional<SearchErr> GuardQuery(F&& f) noexcept {
  try {
    return f();
  } catch (...) {
    return SearchErr::Runtime("internal error: " + internal::DescribeCurrentException());
  }
}

// Runs `f` with the interpreter lock released. If `f` throws, the exception
// is caught before the lock is taken back and raised as the panic
// exception; returns false then. `f` must not touch any Python object.
//
// Every heavy call passes through here, so this is also where it enters
// the shared thread pool (built on first use, sized from RAYON_NUM_THREADS),
// on whose threads its data-parallel loops run.
template <typename F>
[[nodiscard]] bool WithoutGil(F&& f) noexcept {
  bool threw = false;
  std::string what;
  (void)shared_pool_size();  // reads the environment, which Python may be changing
  PyThreadState* ts = PyEval_SaveThread();
  try {
    run_on_shared_pool([&] { f(); });
  } catch (...) {
    threw = true;
    what = internal::DescribeCurrentException();
  }
  PyEval_RestoreThread(ts);
  if (threw) RaisePanic(what);
  return !threw;
}

// Wraps a method or function body so that a C++ exception escaping it is
// raised as the panic exception instead of unwinding into the interpreter.
template <typename F>
PyObject* GuardEntry(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return internal::RaiseCaughtAsPanic();
  }
}

// Entry points for the method and function tables: the body runs under
// GuardEntry, so no C++ exception reaches the interpreter.
template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyObject* GuardedKw(PyObject* self, PyObject* args, PyObject* kw) noexcept {
  return GuardEntry([&] { return F(self, args, kw); });
}
template <PyObject* (*F)(PyObject*, PyObject*)>
PyObject* GuardedNoArgs(PyObject* self, PyObject* unused) noexcept {
  return GuardEntry([&] { return F(self, unused); });
}
// PyMethodDef stores every entry as a two-argument PyCFunction.
template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyCFunction KwEntry() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&GuardedKw<F>));
}
template <PyObject* (*F)(PyObject*, PyObject*)>
PyCFunction NoArgsEntry() {
  return &GuardedNoArgs<F>;
}

}  // namespace nimbrel::py
