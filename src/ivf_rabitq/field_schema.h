// Typed metadata columns.
//
// Every top-level field of the rows' metadata objects (except the skipped
// ones) gets a typed column, so filters evaluate without parsing JSON:
//  - a numeric field (at least one value, and every non-null value a JSON
//    number): one f64 per row, NaN meaning "no value" (absent or null);
//  - any other field: one u32 dictionary code per row, 0xFFFFFFFF meaning
//    "no value"; the field's dictionary maps a key text to its code.
// A field whose only values are null is a string field with an empty
// dictionary. Rows whose metadata is not an object have no fields.
//
// Dictionary keys (format 3) encode the JSON value of a cell:
//  - a string s is s itself, unless s is empty or starts with U+0001,
//    U+0002 or U+0003 (the empty key is the empty string; the others get
//    U+0002 + the JSON text of s);
//  - true / false are U+0001 + "true" / "false";
//  - a number is U+0002 + its JSON text;
//  - an array or object is U+0003 + its compact JSON text with sorted keys.
// JSON null is "no value". One value may have several keys (1 and 1.0 are
// U+0002 "1" and U+0002 "1.0"), which is why filters compare decoded values.
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
// The JSON value a format-3 dictionary key stands for: the empty key is the
// empty string; a key starting with U+0002 or U+0003 is the rest parsed as
// JSON, or the whole key as a string when the rest does not parse; a key
// starting with U+0001 is true exactly when the rest is "true", else false;
// any other key is itself as a string. Never fails.
nlohmann::json dict_key_value(std::string_view key);
// The format-3 dictionary key of a non-null JSON value, so that
// dict_key_value(dict_key_for(v)) == v (numbers equal by value). Invalid
// UTF-8 inside strings that need their JSON text is replaced by U+FFFD;
// null, which is "no value" and never stored, gives "\x03null".
std::string dict_key_for(const nlohmann::json& value);
}  // namespace predicate

// Typed columns of a batch of rows, as the build writes them.
struct TypedColumns {
  std::vector<FieldSchema> fields;          // in order of first appearance
  std::vector<std::vector<uint32_t>> str;   // per string field number, one code per row
  std::vector<std::vector<double>> num;     // per numeric field number, one value per row
};

// At most this many fields get typed columns (the first ones in order of
// first appearance; skipped fields do not count); filters on later fields
// read the row's JSON text.
inline constexpr size_t kMaxTypedFields = 256;

// Builds the typed columns of `rows` (row order; a null pointer is a row
// without metadata). Fields named in `skip` get no column. Codes are
// assigned in order of first appearance. String field number i is the i-th
// non-numeric entry of `fields`, numeric field number j the j-th numeric
// one. Runs its per-field work on the thread pool of the calling thread.
TypedColumns build_typed_columns(const std::vector<const nlohmann::json*>& rows,
                                 const std::set<std::string>& skip);

}  // namespace nimbrel
