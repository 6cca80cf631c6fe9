// The record encoding of the manifest, the checksum table and the other
// structured records (docs/format.md, "Record encoding"):
//   - integers are fixed-width little-endian (u8, u32, u64);
//   - f32 / f64 are their IEEE bits, little-endian;
//   - a bool is one byte, 0 or 1;
//   - a string, a sequence or a map is a u64 element count, then the
//     elements (a string's elements are its bytes; a map's are key, value
//     pairs);
//   - an enumeration variant is a u32 tag, then the variant's fields;
//   - an optional value is one tag byte, 0 (absent) or 1, then the value;
//   - nothing lies between fields, and nothing marks the end: a reader
//     accepts trailing bytes after the value it decodes.
//
// The Reader bounds-checks every read, and checks every count against the
// bytes left (count x the smallest encoded size of one element) before
// anything is allocated, so a damaged count cannot make it reserve
// gigabytes or read past the end.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace nimbrel {

static_assert(std::endian::native == std::endian::little,
              "the on-disk formats are little-endian and are read in place");

// Little-endian loads and stores at any alignment.
template <typename T>
inline T load_le(const uint8_t* p) {
  static_assert(std::is_trivially_copyable_v<T>);
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <typename T>
inline void store_le(uint8_t* p, T v) {
  static_assert(std::is_trivially_copyable_v<T>);
  std::memcpy(p, &v, sizeof v);
}

namespace record {

class Writer {
 public:
  void u8(uint8_t v) { buf_.push_back(v); }
  void u32(uint32_t v) { put(v); }
  void u64(uint64_t v) { put(v); }
  void f32(float v) { put(v); }
  void f64(double v) { put(v); }
  void boolean(bool v) { buf_.push_back(v ? 1 : 0); }
  // The u64 count in front of a sequence or map.
  void count(uint64_t n) { put(n); }
  void tag(uint32_t variant) { put(variant); }
  void option(bool present) { buf_.push_back(present ? 1 : 0); }
  void str(std::string_view s) {
    count(s.size());
    buf_.insert(buf_.end(), s.begin(), s.end());
  }
  // A sequence of fixed-width numbers (u32, u64, f32, f64).
  template <typename T>
  void seq(const std::vector<T>& v) {
    static_assert(std::is_arithmetic_v<T> && sizeof(T) >= 4);
    count(v.size());
    const size_t at = buf_.size();
    buf_.resize(at + v.size() * sizeof(T));
    if (!v.empty()) std::memcpy(buf_.data() + at, v.data(), v.size() * sizeof(T));
  }

  const std::vector<uint8_t>& bytes() const { return buf_; }
  std::vector<uint8_t> take() { return std::move(buf_); }

 private:
  template <typename T>
  void put(T v) {
    const size_t at = buf_.size();
    buf_.resize(at + sizeof v);
    store_le(buf_.data() + at, v);
  }
  std::vector<uint8_t> buf_;
};

// Every method returns false once anything failed; error() then says what
// and where, in words fit for a "corrupt index: {file}: {error}" message.
class Reader {
 public:
  Reader(const uint8_t* data, size_t len) : p_(data), len_(len) {}

  bool u8(uint8_t* v) { return get(v); }
  bool u32(uint32_t* v) { return get(v); }
  bool u64(uint64_t* v) { return get(v); }
  bool f32(float* v) { return get(v); }
  bool f64(double* v) { return get(v); }
  bool boolean(bool* v) {
    uint8_t b;
    if (!get(&b)) return false;
    if (b > 1) return fail("invalid boolean byte " + std::to_string(b) + " at byte " + std::to_string(pos_ - 1));
    *v = b == 1;
    return true;
  }
  bool tag(uint32_t* variant) { return get(variant); }
  bool option(bool* present) {
    uint8_t b;
    if (!get(&b)) return false;
    if (b > 1) return fail("invalid option tag " + std::to_string(b) + " at byte " + std::to_string(pos_ - 1));
    *present = b == 1;
    return true;
  }
  // A count whose elements take at least `min_element_bytes` each: refused
  // when they could not fit in the bytes left.
  bool count(uint64_t* n, size_t min_element_bytes) {
    const size_t at = pos_;
    if (!get(n)) return false;
    if (min_element_bytes > 0 && *n > remaining() / min_element_bytes) {
      return fail("count " + std::to_string(*n) + " at byte " + std::to_string(at) +
                  " exceeds the " + std::to_string(remaining()) + " bytes left");
    }
    return true;
  }
  bool str(std::string* s) {
    uint64_t n;
    if (!count(&n, 1)) return false;
    s->assign(reinterpret_cast<const char*>(p_ + pos_), static_cast<size_t>(n));
    pos_ += static_cast<size_t>(n);
    return true;
  }
  template <typename T>
  bool seq(std::vector<T>* v) {
    static_assert(std::is_arithmetic_v<T> && sizeof(T) >= 4);
    uint64_t n;
    if (!count(&n, sizeof(T))) return false;
    v->resize(static_cast<size_t>(n));
    if (n > 0) std::memcpy(v->data(), p_ + pos_, static_cast<size_t>(n) * sizeof(T));
    pos_ += static_cast<size_t>(n) * sizeof(T);
    return true;
  }

  // Steps over n bytes (the payload of a count read before).
  bool skip(uint64_t n) {
    if (failed_) return false;
    if (n > remaining()) return fail("truncated: " + std::to_string(n) + " bytes to skip at byte " + std::to_string(pos_));
    pos_ += static_cast<size_t>(n);
    return true;
  }

  size_t position() const { return pos_; }
  size_t remaining() const { return len_ - pos_; }
  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }
  // Records a failure found by the caller (a consistency check); keeps the first.
  bool fail(std::string what) {
    if (!failed_) {
      failed_ = true;
      error_ = std::move(what);
    }
    return false;
  }

 private:
  template <typename T>
  bool get(T* v) {
    if (failed_) return false;
    if (remaining() < sizeof(T)) {
      return fail("truncated: " + std::to_string(sizeof(T)) + " bytes needed at byte " +
                  std::to_string(pos_) + ", " + std::to_string(remaining()) + " left");
    }
    *v = load_le<T>(p_ + pos_);
    pos_ += sizeof(T);
    return true;
  }

  const uint8_t* p_;
  size_t len_;
  size_t pos_ = 0;
  bool failed_ = false;
  std::string error_;
};

}  // namespace record
}  // namespace nimbrel
