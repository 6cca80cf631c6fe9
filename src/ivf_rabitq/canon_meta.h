// The comparand of a metadata status check: a caller's metadata text whose
// canonical form is made only when a segment holds a live row to compare it
// with, and then only once, whichever thread gets there first.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "ivf_rabitq/index.h"

namespace nimbrel {

class IvfIndex::CanonMeta {
 public:
  // `text` is borrowed: the caller keeps it alive while this is used.
  explicit CanonMeta(std::string_view text) : text_(text) {}
  CanonMeta(const CanonMeta&) = delete;
  CanonMeta& operator=(const CanonMeta&) = delete;

  std::string_view text() const { return text_; }
  // The compact JSON text of the parsed value with sorted object keys, or
  // null when the text is not valid JSON (or nests deeper than any stored
  // metadata can, see kMaxMetadataDepth). Made on the first call; threads
  // calling meanwhile wait for it.
  const std::string* canonical() const;
  // Whether canonical() has run (for tests of the at-most-once rule).
  bool computed() const { return computed_.load(std::memory_order_acquire); }

 private:
  std::string_view text_;
  mutable std::once_flag once_;
  mutable std::optional<std::string> canonical_;
  mutable std::atomic<bool> computed_{false};
};

using CanonMeta = IvfIndex::CanonMeta;

// One comparand per text, at addresses that stay put, with the list of
// pointers the segment calls take.
class CanonMetaList {
 public:
  explicit CanonMetaList(const std::vector<std::string_view>& texts) {
    ptrs_.reserve(texts.size());
    for (std::string_view t : texts) ptrs_.push_back(&items_.emplace_back(t));
  }
  const std::vector<const CanonMeta*>& all() const { return ptrs_; }
  const CanonMeta& operator[](size_t i) const { return *ptrs_[i]; }
  size_t size() const { return ptrs_.size(); }

 private:
  std::deque<CanonMeta> items_;
  std::vector<const CanonMeta*> ptrs_;
};

// JSON equality with numbers compared by their exact value, whatever their
// spelling or stored kind: 1, 1.0 and 1e0 are equal, 9007199254740993 and
// 9007199254740992.0 are not, 0 and -0.0 are. Objects are equal when they
// hold the same keys with equal values (key order never matters), arrays
// when they hold equal elements in the same order. Strings, booleans and
// null compare as themselves. Iterative, so any nesting depth is safe.
bool json_eq_numeric(const nlohmann::json& a, const nlohmann::json& b);

}  // namespace nimbrel
