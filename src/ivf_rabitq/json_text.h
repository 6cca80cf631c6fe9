// How the system reads a JSON text it did not write itself, and the two
// texts it writes: the canonical form of a value, and the parser's
// explanation of a text it refused.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace nimbrel {

// Compact JSON with object keys in sorted order (the library keeps objects
// sorted); invalid UTF-8 inside a string is replaced rather than thrown.
std::string canonical_json(const nlohmann::json& value);

// Metadata is written out (canonical text, dictionary keys) by recursive
// code, and a value nested deeply enough would overflow a worker thread's
// stack there. Python's own json module stops near 1000 levels; anything
// deeper is refused before any work starts.
inline constexpr size_t kMaxMetadataDepth = 1000;
// Whether `root` nests more than `limit` levels (an iterative walk).
bool nested_deeper_than(const nlohmann::json& root, size_t limit);

// `text` parsed as one JSON value, or a discarded value (is_discarded())
// when it is not valid JSON. Every text from a caller or from disk is read
// through here: the library takes a NUL byte outside a string for the end of
// the input, so '{"k": 1}\0 junk' would otherwise be accepted as {"k":1}.
nlohmann::json parse_json_text(std::string_view text);

// Why `text` does not parse as JSON: the parser's own message without the
// library's "[json.exception...] " tag, or, when the first fault is a NUL
// byte, "parse error at byte N: a NUL byte cannot appear in JSON text" (N
// counted from 1, as the parser counts columns). Only called on the failure
// path.
std::string json_parse_error(std::string_view text);

}  // namespace nimbrel
