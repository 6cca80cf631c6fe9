#include "errors.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace nimbrel::py {

namespace {

// Python's own table of error kinds: the OSError subclass a given errno
// stands for. Kinds without a subclass of their own stay plain OSError.
PyObject* OsErrorClassFor(const Status& st) {
  switch (st.os_errno()) {
    case ENOENT: return PyExc_FileNotFoundError;
    case EACCES:
    case EPERM: return PyExc_PermissionError;
    case EEXIST: return PyExc_FileExistsError;
    case EINTR: return PyExc_InterruptedError;
    case EAGAIN: return PyExc_BlockingIOError;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return PyExc_BlockingIOError;
#endif
    case ETIMEDOUT: return PyExc_TimeoutError;
    case EPIPE: return PyExc_BrokenPipeError;
    case ECONNREFUSED: return PyExc_ConnectionRefusedError;
    case ECONNABORTED: return PyExc_ConnectionAbortedError;
    case ECONNRESET: return PyExc_ConnectionResetError;
    case 0: break;
    default: return PyExc_OSError;
  }
  // A missing file reported without an errno is still "not found".
  return st.code() == Code::kNotFound ? PyExc_FileNotFoundError : PyExc_OSError;
}

PyObject* Raise(PyObject* cls, const std::string& text) {
  PyObject* msg = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (msg == nullptr) return nullptr;
  PyErr_SetObject(cls, msg);
  Py_DECREF(msg);
  return nullptr;
}

}  // namespace

std::string SearchErr::Rendered() const {
  switch (kind) {
    case Kind::kIo: return "OSError: " + message;
    case Kind::kInvalid: return "ValueError: " + message;
    case Kind::kRuntime: return "RuntimeError: " + message;
  }
  return message;
}

PyObject* map_search_err(SearchErr err) {
  switch (err.kind) {
    case SearchErr::Kind::kIo: return Raise(PyExc_OSError, err.message);
    case SearchErr::Kind::kInvalid: return Raise(PyExc_ValueError, err.message);
    case SearchErr::Kind::kRuntime: return Raise(PyExc_RuntimeError, err.message);
  }
  return Raise(PyExc_RuntimeError, err.message);
}

PyObject* value_err(const std::string& text) { return Raise(PyExc_ValueError, text); }
PyObject* runtime_err(const std::string& text) { return Raise(PyExc_RuntimeError, text); }
PyObject* io_err(const Status& st) { return Raise(PyExc_OSError, st.message()); }
PyObject* io_err(const std::string& text) { return Raise(PyExc_OSError, text); }
PyObject* io_err_by_kind(const Status& st) { return Raise(OsErrorClassFor(st), st.message()); }

PyObject* PanicExceptionType() {
  // Created with the interpreter lock held, so no other thread races here.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "nimbrel.PanicException",
        "An internal invariant of nimbrel failed. Derived from BaseException so that\n"
        "`except Exception` does not hide it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* RaisePanic(const std::string& what) {
  PyObject* cls = PanicExceptionType();
  if (cls == nullptr) return nullptr;  // creating the class failed; that error is pending
  return Raise(cls, what);
}

namespace internal {
std::string DescribeCurrentException() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown C++ exception";
  }
}

PyObject* RaiseCaughtAsPanic() noexcept {
  try {
    return RaisePanic(DescribeCurrentException());
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
}
}  // namespace internal

}  // namespace nimbrel::py
