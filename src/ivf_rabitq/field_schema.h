// Typed metadata columns.
//
// Every top-level field of the rows' metadata objects (except the skipped
// ones) gets a typed column, so filters evaluate without parsing JSON:
//  - a numeric field (every non-null value is a JSON number): one f64 per
//    row, NaN meaning "no value" (absent or null);
//  - any other field: one u32 dictionary code per row, 0xFFFFFFFF meaning
//    "no value"; the field's dictionary maps a key text to its code.
// Dictionary keys (format 3) encode the JSON value of a cell:
//  - a string s is s itself, unless s is empty or starts with U+0001,
//    U+0002 or U+0003 (the empty key is the empty string; the others get
//    U+0002 + the JSON text of s);
//  - true / false are U+0001 + "true" / "false";
//  - a number is U+0002 + its JSON text;
//  - an array or object is U+0003 + its compact JSON text with sorted keys.
// JSON null is "no value".
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace nimbrel {

inline constexpr uint32_t kNoCode = 0xFFFFFFFFu;

struct FieldSchema {
  std::string name;
  bool numeric = false;
  std::map<std::string, uint32_t> dict;  // key text -> code (string fields only)
};

namespace predicate {
// The JSON value a format-3 dictionary key stands for.
nlohmann::json dict_key_value(std::string_view key);
// The format-3 dictionary key of a non-null JSON value.
std::string dict_key_for(const nlohmann::json& value);
}  // namespace predicate

// Typed columns of a batch of rows, as the build writes them.
struct TypedColumns {
  std::vector<FieldSchema> fields;          // in order of first appearance
  std::vector<std::vector<uint32_t>> str;   // per string field number, one code per row
  std::vector<std::vector<double>> num;     // per numeric field number, one value per row
};

// At most this many fields get typed columns (the first ones in order of
// first appearance); filters on later fields read the row's JSON text.
inline constexpr size_t kMaxTypedFields = 256;

// Builds the typed columns of `rows` (row order). Fields named in `skip`
// get no column. Codes are assigned in order of first appearance.
TypedColumns build_typed_columns(const std::vector<const nlohmann::json*>& rows,
                                 const std::set<std::string>& skip);

}  // namespace nimbrel
