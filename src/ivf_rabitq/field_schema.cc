// Dictionary keys and the build of typed metadata columns.
#include "ivf_rabitq/field_schema.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <utility>

#include <tbb/parallel_for.h>
#include <tbb/parallel_sort.h>

#include "ivf_rabitq/json_text.h"

namespace nimbrel {

using nlohmann::json;

namespace {

constexpr char kBoolMark = '\x01';
constexpr char kJsonMark = '\x02';
constexpr char kCompositeMark = '\x03';

// A string is its own key unless its first character would be read as a
// type mark (the empty string is its own key too).
bool is_own_key(std::string_view s) {
  return s.empty() || (s[0] != kBoolMark && s[0] != kJsonMark && s[0] != kCompositeMark);
}

}  // namespace

namespace predicate {

json dict_key_value(std::string_view key) {
  if (key.empty()) return json(std::string());
  const char mark = key[0];
  if (mark == kJsonMark || mark == kCompositeMark) {
    json value = parse_json_text(key.substr(1));
    if (!value.is_discarded()) return value;
    return json(std::string(key));
  }
  if (mark == kBoolMark) return json(key.substr(1) == "true");
  return json(std::string(key));
}

std::string dict_key_for(const json& value) {
  switch (value.type()) {
    case json::value_t::string: {
      const std::string& s = value.get_ref<const std::string&>();
      if (is_own_key(s)) return s;
      return kJsonMark + canonical_json(value);
    }
    case json::value_t::boolean:
      return value.get<bool>() ? "\x01" "true" : "\x01" "false";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float:
      return kJsonMark + canonical_json(value);
    default:
      return kCompositeMark + canonical_json(value);
  }
}

}  // namespace predicate

namespace {

constexpr int32_t kNoColumn = -1;

// What pass one learns about one field: its type mix and its non-null
// cells in row order.
struct FieldScan {
  explicit FieldScan(std::string_view n) : name(n) {}
  std::string_view name;  // points into the input rows, which outlive the build
  bool has_number = false;
  bool has_other = false;
  std::vector<std::pair<uint32_t, const json*>> cells;
  bool is_numeric() const { return has_number && !has_other; }
};

// Pass one: discover fields in order of first appearance and collect
// their cells. Rows usually share their key set, and object keys iterate in
// sorted order, so the field seen at the same position in the previous row
// is tried before the hash lookup.
std::vector<FieldScan> scan_fields(const std::vector<const json*>& rows,
                                   const std::set<std::string>& skip) {
  std::vector<FieldScan> fields;
  std::unordered_map<std::string_view, int32_t> field_of;
  for (const std::string& name : skip) field_of.emplace(name, kNoColumn);
  std::vector<std::pair<std::string_view, int32_t>> seen_at;  // item position -> (name, field)

  for (size_t row = 0; row < rows.size(); ++row) {
    const json* meta = rows[row];
    if (meta == nullptr || !meta->is_object()) continue;
    size_t position = 0;
    for (auto it = meta->begin(); it != meta->end(); ++it, ++position) {
      const std::string& key = it.key();
      int32_t field;
      if (position < seen_at.size() && seen_at[position].first == key) {
        field = seen_at[position].second;
      } else {
        auto found = field_of.find(key);
        if (found != field_of.end()) {
          field = found->second;
        } else {
          field = fields.size() < kMaxTypedFields ? static_cast<int32_t>(fields.size()) : kNoColumn;
          if (field != kNoColumn) fields.emplace_back(key);
          field_of.emplace(key, field);
        }
        if (position >= seen_at.size()) seen_at.resize(position + 1);
        seen_at[position] = {key, field};
      }
      if (field == kNoColumn) continue;
      const json& value = it.value();
      if (value.is_null()) continue;
      FieldScan& f = fields[field];
      if (value.is_number()) {
        f.has_number = true;
      } else {
        f.has_other = true;
      }
      f.cells.emplace_back(static_cast<uint32_t>(row), &value);
    }
  }
  return fields;
}

void fill_numeric(const FieldScan& f, size_t n_rows, std::vector<double>* column) {
  column->assign(n_rows, std::numeric_limits<double>::quiet_NaN());
  for (const auto& [row, value] : f.cells) (*column)[row] = value->get<double>();
}

struct SortEntry {
  uint64_t prefix;  // the key's first eight bytes, big-endian, zero-padded
  std::string_view key;
  uint32_t code;
  // Bytewise order, as std::string compares (bytes as unsigned).
  bool operator<(const SortEntry& other) const {
    return prefix != other.prefix ? prefix < other.prefix : key < other.key;
  }
};

uint64_t leading_bytes(std::string_view key) {
  uint64_t prefix = 0;
  for (size_t i = 0; i < 8; ++i) {
    prefix = (prefix << 8) | (i < key.size() ? static_cast<unsigned char>(key[i]) : 0u);
  }
  return prefix;
}

constexpr size_t kCardinalityProbe = 4096;

// Codes follow first appearance. Plain strings are their own keys, so the
// lookup uses the value's own bytes and allocates only for new keys.
void fill_string(const FieldScan& f, size_t n_rows, std::vector<uint32_t>* column,
                 std::map<std::string, uint32_t>* dict) {
  column->assign(n_rows, kNoCode);
  std::unordered_map<std::string_view, uint32_t> code_of;
  std::deque<std::string> computed_keys;  // stable storage for keys that are not the value itself
  std::vector<std::string_view> key_of_code;
  std::string scratch;
  for (size_t i = 0; i < f.cells.size(); ++i) {
    // Rehashing a large table costs a third of the time of a field of
    // unique values (ids, titles): size the table once such a field shows.
    if (i == kCardinalityProbe && key_of_code.size() * 2 > kCardinalityProbe) {
      code_of.reserve(f.cells.size());
      key_of_code.reserve(f.cells.size());
    }
    const auto& [row, value] = f.cells[i];
    std::string_view key;
    const bool is_computed =
        !(value->is_string() && is_own_key(value->get_ref<const std::string&>()));
    if (is_computed) {
      scratch = predicate::dict_key_for(*value);
      key = scratch;
    } else {
      key = value->get_ref<const std::string&>();
    }
    auto found = code_of.find(key);
    uint32_t code;
    if (found != code_of.end()) {
      code = found->second;
    } else {
      if (is_computed) {
        computed_keys.push_back(std::move(scratch));
        key = computed_keys.back();
      }
      code = static_cast<uint32_t>(key_of_code.size());
      key_of_code.push_back(key);
      code_of.emplace(key, code);
    }
    (*column)[row] = code;
  }
  // The dictionary is built from its keys in order, which needs a sort.
  // The keys lie scattered through the input rows, so comparing their
  // first eight bytes as one integer saves most of the memory traffic.
  std::vector<SortEntry> sorted;
  sorted.reserve(key_of_code.size());
  for (uint32_t code = 0; code < key_of_code.size(); ++code) {
    sorted.push_back(SortEntry{leading_bytes(key_of_code[code]), key_of_code[code], code});
  }
  tbb::parallel_sort(sorted.begin(), sorted.end());
  dict->clear();
  for (const SortEntry& e : sorted) dict->emplace_hint(dict->end(), std::string(e.key), e.code);
}

}  // namespace

TypedColumns build_typed_columns(const std::vector<const json*>& rows,
                                 const std::set<std::string>& skip) {
  std::vector<FieldScan> scans = scan_fields(rows, skip);

  TypedColumns out;
  out.fields.resize(scans.size());
  std::vector<size_t> column_of(scans.size());
  size_t n_str = 0, n_num = 0;
  for (size_t i = 0; i < scans.size(); ++i) {
    out.fields[i].name = std::string(scans[i].name);
    out.fields[i].numeric = scans[i].is_numeric();
    column_of[i] = out.fields[i].numeric ? n_num++ : n_str++;
  }
  out.str.resize(n_str);
  out.num.resize(n_num);

  tbb::parallel_for(size_t{0}, scans.size(), [&](size_t i) {
    if (out.fields[i].numeric) {
      fill_numeric(scans[i], rows.size(), &out.num[column_of[i]]);
    } else {
      fill_string(scans[i], rows.size(), &out.str[column_of[i]], &out.fields[i].dict);
    }
  });
  return out;
}

}  // namespace nimbrel
