// The two JSON texts the system writes itself: the canonical form of a
// value, and the parser's explanation of a text it refused.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace nimbrel {

// Compact JSON with object keys in sorted order (the library keeps objects
// sorted); invalid UTF-8 inside a string is replaced rather than thrown.
std::string canonical_json(const nlohmann::json& value);

// Why `text` does not parse as JSON: the parser's own message without the
// library's "[json.exception...] " tag. Only called on the failure path.
std::string json_parse_error(std::string_view text);

}  // namespace nimbrel
