#include "convert.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <cstring>

#include "errors.h"

namespace nimbrel::py {

namespace {

// Squared norms above this (the largest finite float32 divided by 4, f64
// bits 0x47CFFFFFE0000000) could make a float32 squared distance overflow:
// two vectors whose squared norms are at most this are at most 4 times it
// (the largest float32) apart, squared.
constexpr double kSquaredNormLimit = 8.5070586659632215e37;
// The finiteness scan tests a whole block branch-free and looks for the
// exact index only inside a block that failed.
constexpr size_t kFiniteBlock = 256;
// The most elements a sequence's own length may reserve up front.
constexpr size_t kReserveHintLimit = 1 << 16;

std::string Utf8Of(PyObject* str_obj) {
  PyObject* bytes = PyUnicode_AsUTF8String(str_obj);
  if (bytes == nullptr) {
    PyErr_Clear();
    return "?";
  }
  char* data = nullptr;
  Py_ssize_t len = 0;
  std::string out;
  if (PyBytes_AsStringAndSize(bytes, &data, &len) == 0) out.assign(data, static_cast<size_t>(len));
  Py_DECREF(bytes);
  return out;
}

std::string TypeName(PyObject* o) {
  PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__");
  if (name == nullptr) {
    PyErr_Clear();
    return "?";
  }
  std::string out = PyUnicode_Check(name) ? Utf8Of(name) : "?";
  Py_DECREF(name);
  return out;
}

bool TypeErr(const std::string& text) {
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return false;
}


// ---- element conversions (no prefix; the named wrappers add it) ----------

bool RawU64(PyObject* o, uint64_t* out) {
  PyObject* idx = PyNumber_Index(o);
  if (idx == nullptr) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(idx);
  Py_DECREF(idx);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool RawU32(PyObject* o, uint32_t* out) {
  uint64_t v;
  if (!RawU64(o, &v)) return false;
  if (v > 0xFFFFFFFFull) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

// A double rounded to the nearest float32, beyond the float32 range to an
// infinity (a plain cast of such a value is undefined behaviour in C++).
float NarrowToF32(double v) {
  constexpr double kMax = std::numeric_limits<float>::max();
  if (std::isfinite(v) && std::fabs(v) > kMax) {
    // Halfway between the largest float and 2^128 rounds to even: 2^128.
    const double halfway = kMax + std::ldexp(1.0, 103);
    return static_cast<float>(std::copysign(std::fabs(v) < halfway ? kMax : HUGE_VAL, v));
  }
  return static_cast<float>(v);
}

bool RawF64(PyObject* o, double* out) {
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool RawF32(PyObject* o, float* out) {
  double v;
  if (!RawF64(o, &v)) return false;
  *out = NarrowToF32(v);
  return true;
}

bool RawString(PyObject* o, std::string* out) {
  if (!PyUnicode_Check(o)) return CannotConvert(o, "PyString");
  PyObject* bytes = PyUnicode_AsUTF8String(o);  // refuses lone surrogates
  if (bytes == nullptr) return false;
  char* data = nullptr;
  Py_ssize_t len = 0;
  bool ok = PyBytes_AsStringAndSize(bytes, &data, &len) == 0;
  if (ok) out->assign(data, static_cast<size_t>(len));
  Py_DECREF(bytes);
  return ok;
}

bool RawPair(PyObject* o, std::pair<uint32_t, float>* out) {
  if (!PyTuple_Check(o)) return CannotConvert(o, "PyTuple");
  Py_ssize_t n = PyTuple_Size(o);
  if (n != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
    return false;
  }
  return RawU32(PyTuple_GetItem(o, 0), &out->first) && RawF32(PyTuple_GetItem(o, 1), &out->second);
}

// A sequence converted element by element; a single str is refused, as
// it is almost always a mistake (a list of characters).
template <typename T, typename Elem>
bool RawVec(PyObject* o, std::vector<T>* out, Elem&& convert_elem) {
  if (PyUnicode_Check(o)) return TypeErr("Can't extract `str` to `Vec`");
  if (!PySequence_Check(o)) return CannotConvert(o, "Sequence");
  out->clear();
  // The length is only a hint: a sequence may claim any length it likes,
  // so it sizes the first allocation only up to a bound, and the vector
  // grows with what the iteration really yields.
  Py_ssize_t hint = PySequence_Size(o);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    out->reserve(std::min<size_t>(static_cast<size_t>(hint), kReserveHintLimit));
  }
  PyObject* it = PyObject_GetIter(o);
  if (it == nullptr) return false;
  while (PyObject* item = PyIter_Next(it)) {
    T value{};
    bool ok = convert_elem(item, &value);
    Py_DECREF(item);
    if (!ok) {
      Py_DECREF(it);
      return false;
    }
    out->push_back(std::move(value));
  }
  Py_DECREF(it);
  return !PyErr_Occurred();
}

bool RawF32Vec(PyObject* o, std::vector<float>* out) { return RawVec(o, out, RawF32); }

bool RawSparseRow(PyObject* o, SparseRow* out) { return RawVec(o, out, RawPair); }

}  // namespace

// A TypeError raised while converting argument `name` gets the prefix
// "argument '{name}': "; every other error passes unchanged.
bool PrefixTypeError(const char* name) {
  if (!PyErr_Occurred()) return false;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, tb);
    return false;
  }
  PyErr_NormalizeException(&type, &value, &tb);
  std::string why = "?";
  if (value != nullptr) {
    if (PyObject* s = PyObject_Str(value)) {
      why = Utf8Of(s);
      Py_DECREF(s);
    } else {
      PyErr_Clear();
    }
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  return TypeErr(std::string("argument '") + name + "': " + why);
}

// ---- named argument conversions --------------------------------------------

bool CannotConvert(PyObject* o, const char* target) {
  return TypeErr("'" + TypeName(o) + "' object cannot be converted to '" + target + "'");
}

bool ToU64(PyObject* o, const char* name, uint64_t* out) {
  return RawU64(o, out) || PrefixTypeError(name);
}

bool ToI64(PyObject* o, const char* name, int64_t* out) {
  PyObject* idx = PyNumber_Index(o);
  if (idx == nullptr) return PrefixTypeError(name);
  long long v = PyLong_AsLongLong(idx);
  Py_DECREF(idx);
  if (v == -1 && PyErr_Occurred()) return false;  // OverflowError, without the prefix
  *out = v;
  return true;
}

bool ToU32(PyObject* o, const char* name, uint32_t* out) {
  return RawU32(o, out) || PrefixTypeError(name);
}

bool ToBool(PyObject* o, const char* name, bool* out) {
  if (!PyBool_Check(o)) return CannotConvert(o, "PyBool") || PrefixTypeError(name);
  *out = (o == Py_True);
  return true;
}

bool ToF32(PyObject* o, const char* name, float* out) {
  return RawF32(o, out) || PrefixTypeError(name);
}

bool ToF64(PyObject* o, const char* name, double* out) {
  return RawF64(o, out) || PrefixTypeError(name);
}

bool AsString(PyObject* o, std::string* out) { return RawString(o, out); }

bool AsF64(PyObject* o, double* out) { return RawF64(o, out); }

bool ToString(PyObject* o, const char* name, std::string* out) {
  return RawString(o, out) || PrefixTypeError(name);
}

bool ToOptString(PyObject* o, const char* name, std::optional<std::string>* out) {
  out->reset();
  if (o == nullptr || o == Py_None) return true;
  std::string s;
  if (!ToString(o, name, &s)) return false;
  *out = std::move(s);
  return true;
}

bool ToStringVec(PyObject* o, const char* name, std::vector<std::string>* out) {
  return RawVec(o, out, RawString) || PrefixTypeError(name);
}

bool ToU64Vec(PyObject* o, const char* name, std::vector<uint64_t>* out) {
  return RawVec(o, out, RawU64) || PrefixTypeError(name);
}

bool ToF32Vec(PyObject* o, const char* name, std::vector<float>* out) {
  return RawF32Vec(o, out) || PrefixTypeError(name);
}

bool ToF64Vec(PyObject* o, const char* name, std::vector<double>* out) {
  return RawVec(o, out, RawF64) || PrefixTypeError(name);
}

bool ToSparseRow(PyObject* o, const char* name, SparseRow* out) {
  return RawSparseRow(o, out) || PrefixTypeError(name);
}

bool ToSparseRows(PyObject* o, const char* name, std::vector<SparseRow>* out) {
  return RawVec(o, out, RawSparseRow) || PrefixTypeError(name);
}

bool ToPca(PyObject* o, const char* name, Pca* out) {
  out->mean.clear();
  out->comps.clear();
  if (o == nullptr || o == Py_None) return true;
  if (PyUnicode_Check(o)) return TypeErr("Can't extract `str` to `Vec`") || PrefixTypeError(name);
  if (!PySequence_Check(o)) return CannotConvert(o, "Sequence") || PrefixTypeError(name);
  Py_ssize_t n = PySequence_Size(o);
  if (n < 0) return PrefixTypeError(name);
  if (n != 2) {
    PyErr_Format(PyExc_ValueError, "pca must be a 2-sequence [mean, comps], got %zd elements", n);
    return false;
  }
  for (Py_ssize_t i = 0; i < 2; ++i) {
    PyObject* item = PySequence_GetItem(o, i);
    if (item == nullptr) return PrefixTypeError(name);
    bool ok = RawF32Vec(item, i == 0 ? &out->mean : &out->comps);
    Py_DECREF(item);
    if (!ok) return PrefixTypeError(name);
  }
  return true;
}

bool ToBytes(PyObject* o, const char* name, const char** data, size_t* len) {
  if (!PyBytes_Check(o)) return CannotConvert(o, "PyBytes") || PrefixTypeError(name);
  char* p = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_AsStringAndSize(o, &p, &n) != 0) return PrefixTypeError(name);
  *data = p;
  *len = static_cast<size_t>(n);
  return true;
}

bool ToVectorArg(PyObject* o, size_t expected, std::vector<float>* scratch, F32View* out) {
  if (PyBytes_Check(o)) {
    char* p = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(o, &p, &n) != 0) return false;
    if (auto err = as_f32_slice(p, static_cast<size_t>(n), expected, scratch, out)) {
      value_err(*err);
      return false;
    }
    return true;
  }
  if (!RawF32Vec(o, scratch)) return false;
  *out = F32View{scratch->data(), scratch->size()};
  return true;
}

// ---- vector checks ---------------------------------------------------------

std::optional<std::string> as_f32_slice(const char* data, size_t len, size_t expected,
                                        std::vector<float>* scratch, F32View* out) {
  if (len % 4 != 0) {
    return "vector bytes length " + std::to_string(len) +
           " is not a multiple of 4 (little-endian f32)";
  }
  size_t count = len / 4;
  if (count == 0) {
    *out = F32View{};
    return std::nullopt;
  }
  if (reinterpret_cast<uintptr_t>(data) % alignof(float) == 0 && count == expected) {
    *out = F32View{reinterpret_cast<const float*>(data), count};
    return std::nullopt;
  }
  scratch->assign(count, 0.0f);
  std::memcpy(scratch->data(), data, len);
  *out = F32View{scratch->data(), count};
  return std::nullopt;
}

std::string non_finite_err(std::string_view what, size_t index, float value) {
  std::string msg(what);
  msg += " has a non-finite component at index " + std::to_string(index) + " (" +
         FormatFloat(value) + "); a NaN/inf vector cannot be ranked";
  return msg;
}

std::optional<std::string> require_finite_vec(const float* values, size_t n, std::string_view what) {
  for (size_t start = 0; start < n; start += kFiniteBlock) {
    size_t end = start + kFiniteBlock < n ? start + kFiniteBlock : n;
    bool any = false;
    for (size_t i = start; i < end; ++i) any |= IsNonFinite(values[i]);
    if (!any) continue;
    for (size_t i = start; i < end; ++i) {
      if (IsNonFinite(values[i])) return non_finite_err(what, i, values[i]);
    }
  }
  return std::nullopt;
}

bool require_finite(const float* values, size_t n) {
  if (auto err = require_finite_vec(values, n, "query")) {
    value_err(*err);
    return false;
  }
  double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    double a = values[i], b = values[i + 1], c = values[i + 2], d = values[i + 3];
    s0 += a * a;
    s1 += b * b;
    s2 += c * c;
    s3 += d * d;
  }
  for (; i < n; ++i) {
    double a = values[i];
    s0 += a * a;
  }
  double sum = (s0 + s1) + (s2 + s3);
  if (sum > kSquaredNormLimit) {
    value_err("query is too large to rank: its squared L2 norm " + FormatExp(sum) +
              " overflows float32 distances (limit " + FormatExp(kSquaredNormLimit) + ")");
    return false;
  }
  return true;
}

bool require_finite_sparse(const SparseRow& pairs) {
  for (size_t pos = 0; pos < pairs.size(); ++pos) {
    float w = pairs[pos].second;
    if (!std::isfinite(w)) {
      value_err("sparse query has a non-finite weight at position " + std::to_string(pos) + " (" +
                FormatFloat(w) + "); a NaN/inf sparse weight cannot be ranked");
      return false;
    }
  }
  return true;
}

bool require_finite_sparse_write(const SparseRow& pairs) {
  for (const auto& [term, w] : pairs) {
    if (!std::isfinite(w)) {
      value_err("sparse weight " + FormatFloat(w) + " for term " + std::to_string(term) +
                " is not finite; a NaN/inf sparse weight cannot be ranked");
      return false;
    }
  }
  return true;
}

// ---- number texts ----------------------------------------------------------

std::string FormatFloat(float v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  // The shortest digits come from the scientific form; fixed notation
  // would print a large float's exact binary value ("-123456792" for the
  // float nearest -123456789) instead of its shortest digits ("-123456790").
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view text(buf, static_cast<size_t>(res.ptr - buf));
  size_t e = text.find('e');
  int exp = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(), exp);
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c >= '0' && c <= '9') digits += c;
  }
  // digits is d.ddd × 10^exp with the point after the first digit: move it.
  std::string out = std::signbit(v) ? "-" : "";
  auto point = static_cast<std::ptrdiff_t>(exp) + 1;
  auto count = static_cast<std::ptrdiff_t>(digits.size());
  if (point <= 0) {
    out += "0." + std::string(static_cast<size_t>(-point), '0') + digits;
  } else if (point >= count) {
    out += digits + std::string(static_cast<size_t>(point - count), '0');
  } else {
    out += digits.substr(0, static_cast<size_t>(point)) + "." + digits.substr(static_cast<size_t>(point));
  }
  return out;
}

std::string FormatExp(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string text(buf, res.ptr);
  // to_chars writes "8.5e+37" / "1e-07"; the messages use "8.5e37" / "1e-7".
  size_t e = text.find('e');
  if (e == std::string::npos) return text;
  std::string mantissa = text.substr(0, e);
  std::string exp = text.substr(e + 1);
  bool negative = !exp.empty() && exp[0] == '-';
  if (!exp.empty() && (exp[0] == '+' || exp[0] == '-')) exp.erase(0, 1);
  size_t nz = exp.find_first_not_of('0');
  exp = nz == std::string::npos ? "0" : exp.substr(nz);
  return mantissa + "e" + (negative ? "-" : "") + exp;
}

// ---- results back to Python ----------------------------------------------

PyObject* TextObject(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* TextList(const std::vector<std::string>& texts) { return ListOf(texts, TextObject); }

PyObject* FloatList(const std::vector<float>& values) {
  return ListOf(values, [](float v) { return PyFloat_FromDouble(static_cast<double>(v)); });
}

PyObject* U64List(const std::vector<uint64_t>& values) {
  return ListOf(values, [](uint64_t v) { return PyLong_FromUnsignedLongLong(v); });
}

}  // namespace nimbrel::py
