// Python arguments to C++ values, and the checks every vector argument
// passes before any segment is touched.
//
// The To* converters set the pending Python exception and return false on
// failure. A wrong Python type is a TypeError "argument '{name}': {why}";
// an integer out of range of its unsigned field is an OverflowError and a
// wrong tuple length a ValueError, both without the argument prefix.
// All of this runs with the interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nimbrel::py {

using SparseRow = std::vector<std::pair<uint32_t, float>>;

// The optional PCA basis of `build`: mean (dim values) and three component
// rows (3 * dim values). Lengths are the core's business.
struct Pca {
  std::vector<float> mean;
  std::vector<float> comps;
};

// A run of float32 values, either borrowed from a `bytes` object the caller
// keeps alive or pointing into the caller's scratch buffer.
struct F32View {
  const float* data = nullptr;
  size_t size = 0;
};

// Sets TypeError "'{type of o}' object cannot be converted to '{target}'"
// and returns false.
bool CannotConvert(PyObject* o, const char* target);
// A pending TypeError becomes "argument '{name}': {its message}"; any other
// pending error is left as is. Always false, so a failed step can
// `return PrefixTypeError(name);`.
bool PrefixTypeError(const char* name);

bool ToU64(PyObject* o, const char* name, uint64_t* out);
bool ToU32(PyObject* o, const char* name, uint32_t* out);
bool ToI64(PyObject* o, const char* name, int64_t* out);  // a signed 64-bit int
bool ToBool(PyObject* o, const char* name, bool* out);  // a Python bool, not an int
bool ToF32(PyObject* o, const char* name, float* out);  // Python's float conversion, narrowed
bool ToF64(PyObject* o, const char* name, double* out);  // Python's float conversion
bool ToString(PyObject* o, const char* name, std::string* out);
// Absent (null) or None gives nullopt.
bool ToOptString(PyObject* o, const char* name, std::optional<std::string>* out);
// A sequence of str; a single str is refused ("Can't extract `str` to `Vec`").
bool ToStringVec(PyObject* o, const char* name, std::vector<std::string>* out);
// A sequence of non-negative ints; an element out of range is an
// OverflowError without the argument prefix, as for a single int.
bool ToU64Vec(PyObject* o, const char* name, std::vector<uint64_t>* out);
bool ToF32Vec(PyObject* o, const char* name, std::vector<float>* out);
bool ToF64Vec(PyObject* o, const char* name, std::vector<double>* out);
// A sequence of (int term, float weight) tuples.
bool ToSparseRow(PyObject* o, const char* name, SparseRow* out);
// A sequence (one per row) of sequences of (int term, float weight) tuples.
bool ToSparseRows(PyObject* o, const char* name, std::vector<SparseRow>* out);
// None or absent gives empty lists; otherwise exactly [mean, comps].
bool ToPca(PyObject* o, const char* name, Pca* out);
// A bytes object (or subclass); the view stays valid while `o` is alive.
bool ToBytes(PyObject* o, const char* name, const char** data, size_t* len);

// The same conversions for values met inside a method's body, whose
// errors are raised as they are, without an argument prefix: a str
// ("cannot be converted to 'PyString'" otherwise), a float.
bool AsString(PyObject* o, std::string* out);
bool AsF64(PyObject* o, double* out);

// A dense vector argument given as little-endian float32 `bytes`, or as any
// other sequence of numbers (a bytearray or memoryview counts as a
// sequence). Errors are raised as the conversion reports them, without an
// argument prefix; the caller checks the length.
bool ToVectorArg(PyObject* o, size_t expected, std::vector<float>* scratch, F32View* out);

// Reads `len` bytes as float32 values: in place when 4-aligned and holding
// exactly `expected` values, else copied into `scratch`. Returns the
// message for a length that is not a multiple of 4.
std::optional<std::string> as_f32_slice(const char* data, size_t len, size_t expected,
                                        std::vector<float>* scratch, F32View* out);

// Finiteness of dense vectors: the message names the first non-finite
// component. `what` is the noun of the message ("query", "vector 3").
std::optional<std::string> require_finite_vec(const float* values, size_t n, std::string_view what);
std::string non_finite_err(std::string_view what, size_t index, float value);
// A non-finite exponent: NaN, +inf or -inf.
inline bool IsNonFinite(float v) {
  uint32_t bits;
  __builtin_memcpy(&bits, &v, sizeof bits);
  return (bits & 0x7FFFFFFFu) >= 0x7F800000u;
}

// The dense-query check: finite components, and a squared L2 norm small
// enough that squared distances stay finite in float32. Sets ValueError.
bool require_finite(const float* values, size_t n);
// Sparse weights of a query / of rows about to be stored. Set ValueError.
bool require_finite_sparse(const SparseRow& pairs);
bool require_finite_sparse_write(const SparseRow& pairs);

// Number texts as the messages print them: FormatFloat the shortest digits
// that read back to the same float32, written out without exponent ("-0",
// "-123456790", "0.00000015"), or "NaN", "inf", "-inf"; FormatExp in
// exponent form ("8.5070586659632215e37", "1e-7").
std::string FormatFloat(float v);
std::string FormatExp(double v);

// ---- results back to Python ----------------------------------------------

// A new list of make(item) for each item; null, with the exception set,
// when the list or any item cannot be made.
template <typename Items, typename Make>
PyObject* ListOf(const Items& items, Make&& make) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (list == nullptr) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& item : items) {
    PyObject* v = make(item);
    if (v == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, i++, v);  // steals `v`
  }
  return list;
}

// A str from stored UTF-8 (invalid bytes become U+FFFD).
PyObject* TextObject(std::string_view text);
PyObject* TextList(const std::vector<std::string>& texts);
PyObject* FloatList(const std::vector<float>& values);
PyObject* U64List(const std::vector<uint64_t>& values);

}  // namespace nimbrel::py
